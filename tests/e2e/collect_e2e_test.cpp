// The collection engine end to end: the real Collector and the real page
// fetcher, with the marketplace simulator named as the HTTP proxy, checked
// against the simulator's truth for rows, the shop log, the status lines and
// the requests the simulator saw.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "collect/collector.h"
#include "collect/run_report.h"
#include "collect/shop_task.h"
#include "settings/ini_file.h"
#include "shoppage/fetch_page.h"
#include "tests/support/quick_pace.h"
#include "tests/support/temp_folder.h"
#include "text/gbk_text.h"
#include "tools/marketsim/marketsim.h"

namespace dt {
namespace {

using namespace std::chrono_literals;
namespace sim = dt::marketsim;
using Fault = sim::Fault;

// 2000 numbers: all 20 chains wrap around a hundred times. ThreadSanitizer
// makes each fetch several times dearer (the whole file then takes about
// half a minute), hence the longer wait there.
constexpr int kRangeSize = 2000;
#if defined(__SANITIZE_THREAD__)
constexpr auto kRunTimeout = 600s;
#else
constexpr auto kRunTimeout = 120s;
#endif

constexpr int kFirstNumber = 67808220;

const std::string kCrLf = "\r\n";

std::string WithoutLineBreaks(std::string text) {
  std::erase(text, '\r');
  std::erase(text, '\n');
  return text;
}

std::string LogHeader() {
  return "[" + std::string(kShopLogSection) + "]\r\n";
}

// The log line expected for an accepted shop.
// The log keeps what a reader can read back: 10239 bytes of a value. The only
// values that long here are the simulator's run-on pages, all ASCII.
std::string LogLine(const sim::TruthShop& shop) {
  const std::string value = "(" + shop.creationDate + ")" + WithoutLineBreaks(shop.sellerAccount);
  return ToText(shop.number) + "=" + value.substr(0, 10239) + kCrLf;
}

bool Rejected(const sim::TruthShop& shop, bool zeroItems, bool zeroCredit) {
  return (zeroItems && shop.itemCount != "0") || (zeroCredit && shop.creditLevel != "0");
}

bool IsClock(std::string_view text) {
  if (text.size() != 8 || text[2] != ':' || text[5] != ':') return false;
  for (const std::size_t i : {0u, 1u, 3u, 4u, 6u, 7u}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return text.substr(0, 2) <= "23" && text.substr(3, 2) <= "59" && text.substr(6, 2) <= "59";
}

// The messages of the status text, each line checked for "\r\n" + HH:MM:SS + "：".
std::vector<std::string> StatusMessages(const std::string& text) {
  std::vector<std::string> messages;
  std::size_t at = 0;
  while (at < text.size()) {
    EXPECT_EQ(text.compare(at, 2, kCrLf), 0) << "status text at " << at;
    const std::size_t end = std::min(text.find(kCrLf, at + 2), text.size());
    const std::string line = text.substr(at + 2, end - at - 2);
    EXPECT_TRUE(IsClock(std::string_view(line).substr(0, 8))) << line;
    EXPECT_EQ(line.substr(8, 2), "\xA3\xBA") << line;
    messages.push_back(line.substr(std::min<std::size_t>(10, line.size())));
    at = end;
  }
  return messages;
}

std::string FilterNote(int number) {
  return std::string(kFilterNotePrefix) + ToText(number);
}

class CollectE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    InitPageFetcher();
    for (const char* name : {"HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
  }

  // The outage rules stay on (scaled down): no test here may pass because a
  // run could never be found down or blocked.
  CollectE2E() : collector_(pool_, lock_, LoggingConfig(testing::QuickOutageRules())) {}

  ~CollectE2E() override {
    EXPECT_TRUE(collector_.Run().WaitUntilIdle(kRunTimeout));
    unsetenv("http_proxy");
  }

  // Starts the simulator and names it as the proxy of every later fetch. Only
  // called while no task is alive.
  static int StartAsProxy(sim::Server& server) {
    const int port = server.Start();
    EXPECT_GT(port, 0);
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
    return port;
  }

  // The real fetch and the test's shop log, with the given tries and pace.
  CollectorConfig LoggingConfig(const PaceRules& rules) {
    return CollectorConfig{
        [](std::string& address, FetchOutcome& outcome) { return FetchPage(address, outcome); },
        [this](std::string_view key, std::string_view value) {
          return !log_ || log_->Write(kShopLogSection, key, value);
        },
        {},
        rules};
  }

  // A fresh shop log in the test's folder for the writes that follow.
  std::string OpenLog(const std::string& name) {
    const std::string path = folder_.File(name);
    log_ = std::make_unique<IniAppendWriter>(path);
    return path;
  }

  // One run over first .. last, as the window starts it, to its end.
  void RunRange(int first, int last) {
    CollectionRun& run = collector_.Run();
    run.SetLastNumber(last);
    run.Stop();  // a long range leaves the flag up
    collector_.Start(first);
    ASSERT_TRUE(run.Running() || run.NextNumber() > last);
    ASSERT_TRUE(run.WaitUntilIdle(kRunTimeout)) << "run " << first << ".." << last;
    // Every number of the range was handed out, and not one more than needed.
    EXPECT_EQ(run.NextNumber(), std::max(static_cast<long long>(first) + CollectionRun::kBatchSize,
                                         static_cast<long long>(last) + 1));
  }

  // Checks rows from index `from` on against the expected shops: each shop
  // exactly once, in any order, every cell as the page gave it, the ordinals
  // counting on from the rows before. Returns the shops in row order.
  std::vector<sim::TruthShop> CheckRows(std::size_t from,
                                        const std::vector<sim::TruthShop>& shops) {
    std::map<std::string, sim::TruthShop> byAddress;
    for (const auto& shop : shops) byAddress.emplace(shop.shopAddress, shop);
    const ResultsStore& results = collector_.Results();
    EXPECT_EQ(results.RowCount(), from + shops.size());
    std::vector<sim::TruthShop> inRowOrder;
    std::set<std::string> seen;
    for (std::size_t row = from; row < results.RowCount(); ++row) {
      const std::string address = results.Cell(row, kColAddress);
      SCOPED_TRACE("row " + std::to_string(row) + " " + address);
      EXPECT_EQ(results.Cell(row, kColOrdinal), ToText(static_cast<long long>(row) + 1));
      EXPECT_TRUE(seen.insert(address).second) << "listed twice";
      const auto it = byAddress.find(address);
      if (it == byAddress.end()) {
        ADD_FAILURE() << "not a shop the run should list";
        continue;
      }
      const sim::TruthShop& shop = it->second;
      EXPECT_EQ(results.Cell(row, kColAccount), shop.sellerAccount);
      EXPECT_EQ(results.Cell(row, kColState), "");
      EXPECT_EQ(results.Cell(row, kColShopName), shop.shopName);
      EXPECT_EQ(results.Cell(row, kColCreated), shop.creationDate);
      EXPECT_EQ(results.Cell(row, kColCredit), shop.creditLevel);
      EXPECT_EQ(results.Cell(row, kColItems), shop.itemCount);
      inRowOrder.push_back(shop);
    }
    return inRowOrder;
  }

  static std::string ExpectedLog(const std::vector<sim::TruthShop>& inRowOrder) {
    if (inRowOrder.empty()) return {};  // nothing written, no file
    std::string log = LogHeader();
    for (const auto& shop : inRowOrder) log += LogLine(shop);
    return log;
  }

  // Each number asked for once; those given in `tried` as often as a number
  // is tried before it counts as failed.
  static void ExpectEachFetchedOnce(const sim::Server& server, int first, int last,
                                    const std::set<int>& tried = {}) {
    int wrong = 0;
    for (int n = first; n <= last; ++n) {
      const int expected = tried.contains(n) ? testing::QuickPaceRules().attempts : 1;
      if (server.RequestCount(n) != expected && ++wrong <= 10) {
        ADD_FAILURE() << "shop " << n << " requested " << server.RequestCount(n) << " times";
      }
    }
    EXPECT_EQ(wrong, 0);
    // Nothing past the range is ever asked for.
    for (int n = last + 1; n <= last + CollectionRun::kBatchSize; ++n) {
      EXPECT_EQ(server.RequestCount(n), 0) << "shop " << n;
    }
  }

  WorkerPool pool_;
  RunLock lock_;
  testing::TempFolder folder_;
  std::unique_ptr<IniAppendWriter> log_;
  Collector collector_;
};

// Four runs on one collector, one per filter setting, each over its own range:
// rows, log, status lines and requests all follow from the pages alone.
TEST_F(CollectE2E, EveryFilterSettingListsExactlyTheShopsItKeeps) {
  sim::Options options;
  options.seed = 20240611;
  options.density = 0.5;
  // Pages that are odd but still shops: empty item counts, unknown ranks,
  // control bytes in accounts, invalid GBK, a redirect to the page.
  options.faultShare = 0.1;
  options.faultKinds = {Fault::EmptyItemCount, Fault::UnknownRank, Fault::ControlBytesInAccount,
                        Fault::InvalidGbk, Fault::Redirect};
  sim::Server server(options);
  StartAsProxy(server);

  const struct {
    bool zeroItems, zeroCredit;
  } settings[] = {{false, false}, {true, false}, {false, true}, {true, true}};
  int firstOfRun = kFirstNumber;
  for (const auto& s : settings) {
    SCOPED_TRACE(std::string("zero items ") + (s.zeroItems ? "on" : "off") + ", zero credit " +
                 (s.zeroCredit ? "on" : "off"));
    const int first = firstOfRun, last = first + kRangeSize - 1;
    firstOfRun = last + 1;
    collector_.SetZeroItemsFilter(s.zeroItems);
    collector_.SetZeroCreditFilter(s.zeroCredit);
    const std::string logPath = OpenLog("shop-log-" + std::to_string(first) + ".ini");
    const std::size_t rowsBefore = collector_.Results().RowCount();
    if (first != kFirstNumber) {
      EXPECT_GT(rowsBefore, 0u);  // ordinals must count on
    }

    RunRange(first, last);

    std::vector<sim::TruthShop> kept;
    std::vector<std::string> notes;
    for (const auto& shop : sim::Truth(options, first, last)) {
      if (Rejected(shop, s.zeroItems, s.zeroCredit)) {
        notes.push_back(FilterNote(shop.number));
      } else {
        kept.push_back(shop);
      }
    }
    ASSERT_GT(kept.size(), 50u);  // the simulator's mix gives every setting shops to keep
    if (s.zeroItems || s.zeroCredit) {
      ASSERT_GT(notes.size(), 50u);
    }

    const auto inRowOrder = CheckRows(rowsBefore, kept);
    EXPECT_EQ(testing::ReadBytes(logPath), ExpectedLog(inRowOrder));
    ExpectEachFetchedOnce(server, first, last);

    // Filter notes of distinct numbers never repeat, so each one is written.
    std::vector<std::string> messages = StatusMessages(collector_.Status().TakePending());
    std::sort(messages.begin(), messages.end());
    std::sort(notes.begin(), notes.end());
    EXPECT_EQ(messages, notes);
  }
}

// Every kind of broken answer costs only its own number: no crash, each number
// is asked for once (those that never answer as often as a number is tried),
// the chains reach the end, exactly the pages that still show a shop give
// rows, and the numbers that never answered are the failed list.
TEST_F(CollectE2E, BrokenAnswersCostOnlyTheirOwnNumbers) {
  sim::Options options;
  options.seed = 977;
  options.density = 0.5;
  options.faultShare = 0.3;
  options.faultKinds = sim::AllFaults();
  // Two explicit ones of each of the big answers are enough.
  std::erase(options.faultKinds, Fault::HugeBody);
  std::erase(options.faultKinds, Fault::HostileOverlap);
  options.stallMs = 100;  // the simulator drops a stalled answer after this
  const int first = kFirstNumber, last = first + kRangeSize - 1;
  options.faultAt = {{first + 7, Fault::HugeBody},
                     {last - 3, Fault::HugeBody},
                     {first + 11, Fault::HostileOverlap},
                     {first + 12, Fault::HostileOverlap}};
  sim::Server server(options);
  StartAsProxy(server);
  const std::string logPath = OpenLog("shop-log.ini");

  RunRange(first, last);

  // Whether a broken answer still leaves the program a shop page to read.
  const std::map<Fault, bool> givesShop = {
      {Fault::NotFound, false},      {Fault::ServerError, false},
      {Fault::Refuse, false},        {Fault::ResetMidBody, false},
      {Fault::Stall, false},         {Fault::Redirect, true},
      {Fault::RedirectLoop, false},  {Fault::NulBytes, false},
      {Fault::HugeBody, true},       {Fault::InvalidGbk, true},
      {Fault::UnknownRank, true},    {Fault::ControlBytesInAccount, true},
      {Fault::EmptyItemCount, true}, {Fault::HostileOverlap, true},
      {Fault::CutAfterBody, true},
  };
  std::map<std::string, std::size_t> rowOf;
  for (std::size_t row = 0; row < collector_.Results().RowCount(); ++row) {
    rowOf[collector_.Results().Cell(row, kColAddress)] = row;
  }
  // Answers that may come right on another try (a page cut after its whole
  // shop is read at once); a redirect that never ends is one of them.
  const std::set<Fault> transient = {Fault::ServerError, Fault::Refuse, Fault::ResetMidBody,
                                     Fault::Stall, Fault::RedirectLoop};
  std::set<int> tried;
  std::set<std::int64_t> unread;  // the failed list: nothing came, or nothing at all
  std::map<Fault, int> seen;
  for (int n = first; n <= last; ++n) {
    const Fault fault = sim::FaultFor(options, n);
    if (fault == Fault::None) continue;
    ++seen[fault];
    if (transient.contains(fault)) tried.insert(n);
    if (transient.contains(fault)) unread.insert(n);
    SCOPED_TRACE("shop " + std::to_string(n) + " " + std::string(sim::FaultName(fault)));
    ASSERT_EQ(givesShop.count(fault), 1u);
    const auto row = rowOf.find(ShopAddress(n));
    EXPECT_EQ(row != rowOf.end(), givesShop.at(fault));
    EXPECT_EQ(sim::TruthFor(options, n).has_value(), givesShop.at(fault));
    if (row == rowOf.end()) continue;
    const ResultsStore& results = collector_.Results();
    if (fault == Fault::UnknownRank) {
      EXPECT_EQ(results.Cell(row->second, kColCredit), "0");
    }
    if (fault == Fault::EmptyItemCount) {
      EXPECT_EQ(results.Cell(row->second, kColItems), "");
    }
    if (fault == Fault::HostileOverlap) {  // cut, but every later shop is still logged
      EXPECT_EQ(results.Cell(row->second, kColAccount).size(), sim::kHostileFieldBytes);
    }
    if (fault == Fault::ControlBytesInAccount) {
      const std::string account = results.Cell(row->second, kColAccount);
      EXPECT_NE(account.find('\t'), std::string::npos);
      EXPECT_NE(account.find("\r\n"), std::string::npos);
    }
  }
  for (const auto& [fault, gives] : givesShop) {
    EXPECT_GT(seen[fault], 0) << sim::FaultName(fault) << " never drawn";
  }

  const auto inRowOrder = CheckRows(0, sim::Truth(options, first, last));
  EXPECT_EQ(testing::ReadBytes(logPath), ExpectedLog(inRowOrder));
  // A refused connection is counted too: the simulator sees the request line
  // and then drops the connection without an answer.
  ExpectEachFetchedOnce(server, first, last, tried);
  EXPECT_EQ(collector_.Run().FailedNumbers(), unread);
  EXPECT_EQ(collector_.Run().Progress().failed, static_cast<std::int64_t>(unread.size()));
  EXPECT_EQ(collector_.Status().TakePending(), "");  // broken pages write no status line
  EXPECT_EQ(collector_.Run().ActiveTasks(), 0);
  EXPECT_EQ(collector_.Run().Progress().state, RunState::Finished);
}

// A marketplace that is busy, limits the rate, is down for a while or serves
// UTF-8 costs time, never a shop, also with pages that are always cut after
// their whole body (2 %) or always answer 500 (1 %) mixed in: every shop whose
// page arrives is logged with the truth's bytes, every page served whole is
// read exactly once and a cut one at most its tries, the failed list is
// exactly the always-500 numbers, and the run ends finished, never blocked,
// under the outage rules; with one request at a time or sixteen.
TEST_F(CollectE2E, AnUnreliableMarketplaceCostsTimeNotShops) {
  PaceRules outageRules = testing::QuickOutageRules();
  outageRules.attempts = 3;
  outageRules.firstPause = 50ms;
  outageRules.probePause = 200ms;
  outageRules.blockAfter = 30s;
  PaceRules rateRules;  // the program's own: Retry-After is obeyed in full
  rateRules.jitter = 0;
  const struct {
    const char* what;
    int size;
    PaceRules rules;
    void (*set)(sim::Options&);
    int atOnce = 1;
  } cases[] = {
      {"healthy", 1000, testing::QuickOutageRules(), [](sim::Options&) {}},
      {"busy: 5% answered 503 with Retry-After, 3% dropped", 400, testing::QuickOutageRules(),
       [](sim::Options& o) {
         o.busyShare = 0.05;
         o.busyRetryAfter = 1;
         o.dropShare = 0.03;
       }},
      {"more than 25 requests a second refused with 429", 150, rateRules,
       [](sim::Options& o) { o.rateLimit = 25; }},
      {"down for 3 s after 100 requests", 300, outageRules,
       [](sim::Options& o) {
         o.outageAfter = 100;
         o.outageMs = 3000;
       }},
      {"half the pages in UTF-8", 300, testing::QuickOutageRules(),
       [](sim::Options& o) { o.utf8Share = 0.5; }},
      {"16 at once, busy: 5% answered 503 with Retry-After, 3% dropped", 400,
       testing::QuickOutageRules(),
       [](sim::Options& o) {
         o.busyShare = 0.05;
         o.busyRetryAfter = 1;
         o.dropShare = 0.03;
       },
       16},
      {"16 at once, more than 25 requests a second refused with 429", 150, rateRules,
       [](sim::Options& o) { o.rateLimit = 25; }, 16},
  };
  int first = kFirstNumber;
  int cutPages = 0, failingPages = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Options options;
    options.seed = 4242;
    options.density = 0.6;
    options.faultShare = 0.03;
    options.faultKinds = {Fault::CutAfterBody, Fault::CutAfterBody, Fault::ServerError};
    c.set(options);
    sim::Server server(options);
    StartAsProxy(server);
    const int last = first + c.size - 1;
    const std::string logPath = OpenLog("shop-log-" + std::to_string(first) + ".ini");
    Collector collector(pool_, lock_, LoggingConfig(c.rules));
    collector.SetRequestsAtOnce(c.atOnce);
    collector.Run().SetLastNumber(last);
    collector.Start(first);
    ASSERT_TRUE(collector.Run().WaitUntilIdle(kRunTimeout));

    std::set<std::int64_t> alwaysFailing;
    int cut = 0;
    for (int n = first; n <= last; ++n) {
      if (sim::FaultFor(options, n) == Fault::ServerError) alwaysFailing.insert(n);
      if (sim::FaultFor(options, n) == Fault::CutAfterBody) ++cut;
    }
    cutPages += cut;
    failingPages += static_cast<int>(alwaysFailing.size());
    const RunProgress progress = collector.Run().Progress();
    EXPECT_EQ(progress.state, RunState::Finished);
    EXPECT_EQ(progress.done, c.size);
    EXPECT_EQ(progress.failed, static_cast<std::int64_t>(alwaysFailing.size()));
    EXPECT_EQ(progress.resume, std::nullopt);
    EXPECT_EQ(collector.Run().FailedNumbers(), alwaysFailing);
    EXPECT_GT(progress.retries, 0);

    // The log in the order the rows came, against the truth.
    std::map<std::string, sim::TruthShop> byAddress;
    const std::vector<sim::TruthShop> truth = sim::Truth(options, first, last);
    for (const auto& shop : truth) byAddress.emplace(shop.shopAddress, shop);
    std::vector<sim::TruthShop> inRowOrder;
    for (std::size_t row = 0; row < collector.Results().RowCount(); ++row) {
      const auto it = byAddress.find(collector.Results().Cell(row, kColAddress));
      ASSERT_NE(it, byAddress.end());
      EXPECT_EQ(collector.Results().Cell(row, kColShopName), it->second.shopName);
      inRowOrder.push_back(it->second);
    }
    EXPECT_EQ(inRowOrder.size(), truth.size());
    EXPECT_EQ(testing::ReadBytes(logPath), ExpectedLog(inRowOrder));
    // An outage's probes and redos are tries beyond a number's own.
    const int mostTries = options.outageAfter ? 1000 : c.rules.attempts;
    int wrong = 0;
    for (int n = first; n <= last; ++n) {
      const Fault fault = sim::FaultFor(options, n);
      const bool right = fault == Fault::None
                             ? server.PagesServed(n) == 1
                             : server.RequestCount(n) <= mostTries && server.PagesServed(n) == 0;
      if (!right && ++wrong <= 5) {
        ADD_FAILURE() << "shop " << n << " (" << sim::FaultName(fault) << ") read "
                      << server.PagesServed(n) << " times, asked for " << server.RequestCount(n);
      }
    }
    EXPECT_EQ(wrong, 0);
    server.Stop();
    first = last + 1;
  }
  EXPECT_GT(cutPages, 20);
  EXPECT_GT(failingPages, 10);
}

// A marketplace that refuses the run for good, in each form of block: the
// run stops itself as blocked, says what it saw once however many requests
// were out, keeps every shop before the first refused number, and offers to
// go on from at or before it. A 200 verification page looks like a page
// without a shop: the drought stops it, and the readout does not call that
// a refusal.
TEST_F(CollectE2E, ARefusingMarketplaceBlocksTheRunBeforeTheFirstRefusedNumber) {
  const std::string drought(kDroughtMessageStart);
  const struct {
    sim::BlockForm form;
    int blockAfter;
    std::string_view message;  // the start of the one status line
    int atOnce = 1;
  } cases[] = {
      {sim::BlockForm::TooMany, 150, kMarketRefusedMessage},
      {sim::BlockForm::Forbidden, 150, kMarketSignInMessage},
      {sim::BlockForm::SignIn, 150, kMarketSignInMessage},
      {sim::BlockForm::Verify, 250, drought},
      {sim::BlockForm::TooMany, 150, kMarketRefusedMessage, 16},
      {sim::BlockForm::Forbidden, 150, kMarketSignInMessage, 16},
  };
  int first = kFirstNumber;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(sim::BlockFormName(c.form)) + " at once " + std::to_string(c.atOnce));
    sim::Options options;
    options.seed = 4243;
    options.density = 0.6;
    options.blockAfter = c.blockAfter;
    options.blockForm = c.form;
    sim::Server server(options);
    StartAsProxy(server);
    const std::string logPath = OpenLog("shop-log-" + std::to_string(first) + ".ini");
    PaceRules rules = testing::QuickPaceRules();
    rules.attempts = 3;
    rules.firstPause = 20ms;
    rules.downAfter = 500ms;
    rules.probePause = 100ms;
    rules.blockAfter = 2s;
    Collector collector(pool_, lock_, LoggingConfig(rules));
    collector.SetRequestsAtOnce(c.atOnce);
    const int last = first + 999;
    collector.Run().SetLastNumber(last);
    collector.Start(first);
    ASSERT_TRUE(collector.Run().WaitUntilIdle(kRunTimeout));

    const RunProgress progress = collector.Run().Progress();
    EXPECT_EQ(progress.state, RunState::Blocked);
    EXPECT_FALSE(collector.Run().Running());
    const std::optional<int> refused = server.FirstBlockedNumber();
    ASSERT_TRUE(refused.has_value());
    ASSERT_TRUE(progress.resume.has_value());
    EXPECT_LE(*progress.resume, *refused);
    EXPECT_LT(progress.next, last);  // it did not walk on through the range
    const std::vector<std::string> messages = StatusMessages(collector.Status().TakePending());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].substr(0, c.message.size()), c.message);
    const std::string refusedWord = "\xCA\xD0\xB3\xA1\xBE\xDC\xBE\xF8";  // 市场拒绝
    EXPECT_EQ(ReadoutText(progress, 0, std::nullopt).starts_with(refusedWord),
              c.message != drought);
    // Every shop before the resume point is in the log.
    std::set<std::string> logged;
    for (std::size_t row = 0; row < collector.Results().RowCount(); ++row) {
      logged.insert(collector.Results().Cell(row, kColAddress));
    }
    const std::string log = testing::ReadBytes(logPath);
    for (const auto& shop : sim::Truth(options, first, static_cast<int>(*progress.resume) - 1)) {
      EXPECT_TRUE(logged.contains(shop.shopAddress)) << shop.number;
      EXPECT_NE(log.find(LogLine(shop)), std::string::npos) << shop.number;
    }
    server.Stop();
    first = last + 1;
  }
}

// The same shops accepted by two runs: one row each, its cells the later
// run's in the place the first run gave it, as the log's line. Accounts with
// TAB, CR and LF keep them in the row and lose only CR and LF in the log.
TEST_F(CollectE2E, ShopLogKeepsOneLinePerShopWithTheLaterValue) {
  constexpr int kShops = 300;
  const int first = kFirstNumber, last = first + kShops - 1;
  const std::set<int> controlBytes = {first, first + 1, first + 150, last};
  auto optionsWithSeed = [&](std::uint64_t seed) {
    sim::Options options;
    options.seed = seed;
    options.density = 1;  // every number a shop
    for (const int n : controlBytes) options.faultAt[n] = Fault::ControlBytesInAccount;
    return options;
  };
  const sim::Options before = optionsWithSeed(5), after = optionsWithSeed(6);
  sim::Server earlier(before), later(after);
  const std::string logPath = OpenLog("shop-log.ini");

  StartAsProxy(earlier);
  RunRange(first, last);
  const auto firstRows = CheckRows(0, sim::Truth(before, first, last));
  ASSERT_EQ(testing::ReadBytes(logPath), ExpectedLog(firstRows));

  StartAsProxy(later);  // the marketplace now shows other pages for the same numbers
  RunRange(first, last);
  const auto laterTruth = sim::Truth(after, first, last);
  const auto laterRows = CheckRows(0, laterTruth);
  EXPECT_EQ(laterRows.size(), firstRows.size());
  for (std::size_t i = 0; i < std::min(laterRows.size(), firstRows.size()); ++i) {
    EXPECT_EQ(laterRows[i].number, firstRows[i].number) << "row " << i << " moved";
  }
  ExpectEachFetchedOnce(earlier, first, last);
  ExpectEachFetchedOnce(later, first, last);

  std::map<int, sim::TruthShop> laterByNumber;
  for (const auto& shop : laterTruth) laterByNumber.emplace(shop.number, shop);
  std::string expected = LogHeader();
  int changed = 0;
  for (const auto& shop : firstRows) {
    const sim::TruthShop& now = laterByNumber.at(shop.number);
    expected += LogLine(now);
    if (LogLine(now) != LogLine(shop)) ++changed;
  }
  EXPECT_GT(changed, kShops * 9 / 10);  // the later values really differ
  const std::string log = testing::ReadBytes(logPath);
  EXPECT_EQ(log, expected);

  // The control bytes, read straight from the file and the rows.
  for (const int n : controlBytes) {
    SCOPED_TRACE("shop " + std::to_string(n));
    const sim::TruthShop& shop = laterByNumber.at(n);
    ASSERT_NE(shop.sellerAccount.find('\t'), std::string::npos);
    ASSERT_NE(shop.sellerAccount.find('\n'), std::string::npos);
    const std::string key = kCrLf + ToText(n) + "=";
    const std::size_t at = log.find(key);
    ASSERT_NE(at, std::string::npos);
    const std::size_t valueAt = at + key.size();
    const std::string value = log.substr(valueAt, log.find(kCrLf, valueAt) - valueAt);
    EXPECT_EQ(value, "(" + shop.creationDate + ")" + WithoutLineBreaks(shop.sellerAccount));
    EXPECT_NE(value.find('\t'), std::string::npos);
    bool inRows = false;
    for (std::size_t row = 0; row < collector_.Results().RowCount(); ++row) {
      if (collector_.Results().Cell(row, kColAddress) != shop.shopAddress) continue;
      EXPECT_EQ(collector_.Results().Cell(row, kColAccount), shop.sellerAccount);
      inRows = true;
    }
    EXPECT_TRUE(inRows);
  }
}

// A one-number range run twice over a rejected shop: the page is fetched both
// times, but the second filter note repeats the first and is dropped; the run
// ends by itself each time.
TEST_F(CollectE2E, RepeatedFilterNoteIsWrittenOnce) {
  sim::Options options;
  options.seed = 31;
  options.density = 1;
  int rejected = 0;
  for (int n = kFirstNumber; n < kFirstNumber + 100 && rejected == 0; ++n) {
    const auto shop = sim::TruthFor(options, n);
    if (shop && shop->itemCount != "0") rejected = n;
  }
  ASSERT_NE(rejected, 0);
  sim::Server server(options);
  StartAsProxy(server);
  OpenLog("shop-log.ini");
  collector_.SetZeroItemsFilter(true);

  for (int round = 0; round < 2; ++round) {
    RunRange(rejected, rejected);
    EXPECT_FALSE(collector_.Run().Running());  // the first batch passed the last number
  }
  EXPECT_EQ(server.RequestCount(rejected), 2);
  EXPECT_EQ(server.RequestCount(rejected + 1), 0);
  EXPECT_EQ(collector_.Results().RowCount(), 0u);
  EXPECT_EQ(StatusMessages(collector_.Status().TakePending()),
            std::vector<std::string>{FilterNote(rejected)});
}

// A log that cannot be written is said once per run, naming the file; the
// rows are collected all the same.
TEST_F(CollectE2E, AFailingShopLogIsReportedOncePerRun) {
  sim::Options options;
  options.seed = 3;
  options.density = 1;
  sim::Server server(options);
  StartAsProxy(server);
  const std::string path = OpenLog("missing-folder/shop-log.ini");
  for (int round = 0; round < 2; ++round) {
    RunRange(kFirstNumber, kFirstNumber + 29);
    // Another line between the runs, so that a second report is no repeat.
    if (round == 0) collector_.Status().AppendStatusLine("between");
  }
  EXPECT_EQ(collector_.Results().RowCount(), 30u) << "one row per shop, the log failing or not";
  const std::string failed = "\xB5\xEA\xC6\xCC\xC8\xD5\xD6\xBE\xCE\xB4\xC4\xDC\xD0\xB4\xC8\xEB ";
  EXPECT_EQ(StatusMessages(collector_.Status().TakePending()),
            (std::vector<std::string>{failed, "between", failed}));
}

// Following the newest shops against a marketplace that grows. The follow
// run's own waits go faster than the wall clock by kScale; the marketplace
// rises per real second, the pages and the rules are the real ones.
class FollowE2E : public CollectE2E {
 protected:
  // The margin of a poll's wait in real time is a tenth of a second per
  // second of follow time: enough for a loaded machine at this scale.
#if defined(__SANITIZE_THREAD__)
  static constexpr double kScale = 3;
#else
  static constexpr double kScale = 5;
#endif

  FollowE2E() {
    collector_.OnFollowNews([this](const FollowNews& news) {
      std::lock_guard<std::mutex> guard(newsMutex_);
      const auto now = std::chrono::steady_clock::now();
      kinds_.push_back(news.kind);
      for (const std::int64_t n : news.numbers) {
        if (listed_[n]++ == 0) listedAt_[n] = now;
      }
    });
  }
  ~FollowE2E() override {
    collector_.Run().Stop();
  }

  // Waits (real time) until the run's state is `state`; false after the timeout.
  bool WaitFor(RunState state, std::chrono::seconds timeout = 60s) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (collector_.Progress().state != state) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  // The highest shop at or below a number.
  static int ShopAtOrBelow(const sim::Options& options, int number) {
    while (!sim::TruthFor(options, number)) --number;
    return number;
  }

  // Every shop of (from, to] is a row, and was news exactly once.
  void ExpectListedOnce(const sim::Options& options, int from, int to) {
    std::lock_guard<std::mutex> guard(newsMutex_);
    int missing = 0;
    for (int n = from + 1; n <= to; ++n) {
      if (!sim::TruthFor(options, n)) continue;
      if (listed_[n] != 1 && ++missing <= 10) {
        ADD_FAILURE() << "shop " << n << " listed " << listed_[n] << " times";
      }
    }
    EXPECT_EQ(missing, 0);
    for (const auto& [n, times] : listed_) EXPECT_LE(times, 1) << n;
  }

  std::mutex newsMutex_;
  std::vector<FollowNews::Kind> kinds_;
  std::map<std::int64_t, int> listed_;
  std::map<std::int64_t, std::chrono::steady_clock::time_point> listedAt_;
};

TEST_F(FollowE2E, FindsTheTopFromTenMillionBelowWithinThreeThousandRequests) {
  sim::Options options;
  options.seed = 7;
  options.density = 0.4;
  options.topAtStart = 90'000'000;
  sim::Server server(options);
  StartAsProxy(server);
  collector_.StartFollow(*options.topAtStart - 10'000'000, std::nullopt, FollowSettings{});
  ASSERT_TRUE(WaitFor(RunState::Following));
  EXPECT_LE(server.TotalRequests(), 3000);
  const RunProgress progress = collector_.Progress();
  EXPECT_EQ(progress.mode, RunMode::Follow);
  EXPECT_EQ(progress.frontier, ShopAtOrBelow(options, *options.topAtStart));
  ASSERT_TRUE(progress.nextPoll);
  EXPECT_EQ(collector_.FollowSnapshot()->frontier, progress.frontier);
}

TEST_F(FollowE2E, RisingTopIsFollowedEachShopListedOnceWithinAPollAndFiveSeconds) {
  sim::Options options;
  options.seed = 8;
  options.density = 0.4;
  options.topAtStart = 5'000'000;
  options.risePerSecond = 2 * kScale;  // two numbers a second of follow time
  sim::Server server(options);
  StartAsProxy(server);
  collector_.SetRequestsAtOnce(4);
  const auto started = std::chrono::steady_clock::now();
  collector_.StartFollow(*options.topAtStart - 2000, std::nullopt,
                         FollowSettings{std::chrono::seconds(5), kScale});
  ASSERT_TRUE(WaitFor(RunState::Following));
  const int from = static_cast<int>(collector_.Progress().frontier);
  // Three minutes of follow time.
  std::this_thread::sleep_for(std::chrono::duration<double>(180 / kScale));
  const int to = server.Newest();
  ASSERT_TRUE(WaitFor(RunState::Following));
  std::this_thread::sleep_for(std::chrono::duration<double>(10 / kScale));
  collector_.Run().Stop();
  ASSERT_TRUE(collector_.Run().WaitUntilIdle(kRunTimeout));
  ExpectListedOnce(options, from, to);
  std::lock_guard<std::mutex> guard(newsMutex_);
  for (int n = from + 1; n <= to; ++n) {
    if (!listedAt_.contains(n)) continue;
    const double opened = *sim::OpenedAt(options, n);
    const double listed = std::chrono::duration<double>(listedAt_[n] - started).count();
    EXPECT_LE((listed - opened) * kScale, 5 + 5) << n;
  }
}

TEST_F(FollowE2E, BlockWhileFollowingIsWaitedOutAndNothingIsLost) {
  sim::Options options;
  options.seed = 9;
  options.density = 0.4;
  options.topAtStart = 7'000'000;
  options.risePerSecond = 20;
  options.blockForm = sim::BlockForm::Verify;  // pages without a shop, answered 200
  options.blockAfter = 400;
  options.blockForMs = 1500;
  sim::Server server(options);
  StartAsProxy(server);
  // Five minutes of follow time are a second here.
  collector_.StartFollow(*options.topAtStart - 300, std::nullopt,
                         FollowSettings{std::chrono::seconds(60), 300});
  ASSERT_TRUE(WaitFor(RunState::Following));
  const int from = static_cast<int>(collector_.Progress().frontier);
  ASSERT_TRUE(WaitFor(RunState::Blocked, 30s));
  EXPECT_TRUE(collector_.Run().Running());  // a block does not end a follow run
  ASSERT_TRUE(WaitFor(RunState::Following, 30s));
  std::this_thread::sleep_for(1s);
  const int to = server.Newest() - 20 * 2;
  ASSERT_TRUE(WaitFor(RunState::Following));
  collector_.Run().Stop();
  ASSERT_TRUE(collector_.Run().WaitUntilIdle(kRunTimeout));
  ExpectListedOnce(options, from, to);
  std::lock_guard<std::mutex> guard(newsMutex_);
  EXPECT_EQ(std::count(kinds_.begin(), kinds_.end(), FollowNews::Blocked), 1);
  EXPECT_EQ(std::count(kinds_.begin(), kinds_.end(), FollowNews::Resumed), 1);
  const std::vector<std::string> messages = StatusMessages(collector_.Status().TakePending());
  EXPECT_EQ(std::count(messages.begin(), messages.end(), std::string(kFollowBlockedMessage)), 1);
}

TEST_F(FollowE2E, RestartFromTheSavedStateCatchesUpListingNoneTwice) {
  sim::Options options;
  options.seed = 10;
  options.density = 0.4;
  options.topAtStart = 3'000'000;
  options.risePerSecond = 5 * kScale;
  sim::Server server(options);
  StartAsProxy(server);
  collector_.StartFollow(*options.topAtStart - 500, std::nullopt,
                         FollowSettings{std::chrono::seconds(5), kScale});
  ASSERT_TRUE(WaitFor(RunState::Following));
  const int from = static_cast<int>(collector_.Progress().frontier);
  std::this_thread::sleep_for(std::chrono::duration<double>(20 / kScale));
  collector_.Run().Stop();
  ASSERT_TRUE(collector_.Run().WaitUntilIdle(kRunTimeout));
  const auto saved = ParseFollowState(FollowStateText(*collector_.FollowSnapshot()));
  ASSERT_TRUE(saved);
  // Thirty seconds down, then a new start from the state.
  std::this_thread::sleep_for(std::chrono::duration<double>(30 / kScale));
  collector_.StartFollow(0, saved, FollowSettings{std::chrono::seconds(5), kScale});
  std::this_thread::sleep_for(std::chrono::duration<double>(20 / kScale));
  ASSERT_TRUE(WaitFor(RunState::Following));
  const int to = static_cast<int>(collector_.Progress().frontier);
  collector_.Run().Stop();
  ASSERT_TRUE(collector_.Run().WaitUntilIdle(kRunTimeout));
  EXPECT_GT(to, saved->frontier + 5 * 30);
  ExpectListedOnce(options, from, to);
}

}  // namespace
}  // namespace dt
