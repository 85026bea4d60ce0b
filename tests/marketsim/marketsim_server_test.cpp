#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include "shoppage/fetch_page.h"
#include "shoppage/shop_page.h"
#include "tools/marketsim/marketsim.h"

extern char** environ;

namespace dt::marketsim {
namespace {

using namespace std::chrono_literals;

// Names the simulator as the HTTP proxy for the scope, as the program is run.
class ProxyScope {
 public:
  explicit ProxyScope(int port) {
    for (const char* name : {"HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
      unsetenv(name);
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
  }
  ~ProxyScope() { unsetenv("http_proxy"); }
};

TEST(MarketSimServer, ProgramFetchesThroughTheProxyMatchTheTruth) {
  Options options;
  options.seed = 2024;
  options.density = 0.5;
  options.faultShare = 0.25;
  options.faultKinds = AllFaults();
  options.hostileFillerBytes = 100000;  // past a field's limit is all that counts here
  options.stallMs = 200;                // the simulator drops a stalled page after this
  Server server(options);
  const int port = server.Start();
  ASSERT_GT(port, 0);
  ProxyScope proxy(port);

  const int first = 1000, last = 1299;
  std::vector<TruthShop> collected;
  for (int number = first; number <= last; ++number) {
    std::string address = ShopAddress(number);
    const std::string body = FetchPage(address);
    if (auto fields = ParseShopPage(body.substr(0, body.find('\0')))) {
      collected.push_back({number, fields->sellerAccount, fields->shopName, address,
                           fields->creationDate, fields->creditLevel, fields->itemCount});
    }
  }
  const auto truth = Truth(options, first, last);
  EXPECT_GT(truth.size(), 100u);
  ASSERT_EQ(collected.size(), truth.size());
  for (std::size_t i = 0; i < truth.size(); ++i) {
    EXPECT_EQ(collected[i], truth[i]) << "shop " << truth[i].number;
  }
  for (int number = first; number <= last; ++number) {
    EXPECT_EQ(server.RequestCount(number), 1) << "shop " << number;
  }
  EXPECT_EQ(server.RequestCount(first - 1), 0);
  EXPECT_GE(server.TotalRequests(), last - first + 1);
}

TEST(MarketSimServer, OriginFormRequestsAreServedByHostAndOthersGet404) {
  Options options;
  options.density = 1;
  Server server(options);
  const int port = server.Start();
  ASSERT_GT(port, 0);
  httplib::Client client("127.0.0.1", port);

  auto get = [&](const std::string& path, const std::string& host) {
    return client.Get(path.c_str(), httplib::Headers{{"Host", host}});
  };
  const auto shop = get("/", "shop5.taobao.com");
  ASSERT_TRUE(shop);
  EXPECT_EQ(shop->status, 200);
  EXPECT_EQ(shop->body, ShopPageBody(options, 5));
  EXPECT_EQ(server.RequestCount(5), 1);

  const struct {
    const char* path;
    const char* host;
  } others[] = {
      {"/other", "shop5.taobao.com"},      {"/", "www.taobao.com"},
      {"/", "shop05.taobao.com"},          {"/", "shop.taobao.com"},
      {"/", "shop5x.taobao.com"},          {"/", "127.0.0.1"},
      {"/", "shop99999999999.taobao.com"},
  };
  for (const auto& other : others) {
    SCOPED_TRACE(std::string(other.host) + other.path);
    const auto answer = get(other.path, other.host);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 404);
    EXPECT_EQ(answer->body.find("data-value"), std::string::npos);
  }
  EXPECT_EQ(server.RequestCount(5), 1);
  EXPECT_EQ(server.TotalRequests(), 1 + static_cast<int>(std::size(others)));
}

TEST(MarketSimServer, TransportFaultsReachTheClientAsThemselves) {
  Options options;
  options.density = 0;
  options.faultAt = {{1, Fault::Refuse},      {2, Fault::ResetMidBody}, {3, Fault::NotFound},
                     {4, Fault::ServerError}, {5, Fault::RedirectLoop}, {6, Fault::HugeBody},
                     {7, Fault::Redirect},    {8, Fault::CutAfterBody}};
  Server server(options);
  const int port = server.Start();
  ASSERT_GT(port, 0);
  ProxyScope proxy(port);
  auto fetch = [](int number) {
    std::string address = ShopAddress(number);
    return FetchPage(address);
  };
  EXPECT_EQ(fetch(1), "");
  const std::string partial = fetch(2);
  EXPECT_FALSE(partial.empty());
  EXPECT_EQ(partial, ShopPageBody(options, 2));
  EXPECT_EQ(fetch(3), ShopPageBody(options, 3));
  EXPECT_EQ(fetch(4), ShopPageBody(options, 4));
  EXPECT_EQ(fetch(5), "");
  const std::string huge = fetch(6);
  EXPECT_EQ(huge.size(), FetchLimits{}.maxBodyBytes);  // the fetcher's cap ends it
  EXPECT_EQ(huge, ShopPageBody(options, 6).substr(0, huge.size()));
  EXPECT_EQ(fetch(7), ShopPageBody(options, 7));
  EXPECT_EQ(server.RequestCount(7), 1);  // the follow-up to /moved is not a shop request
  // The whole page, then the connection ends short of the length announced.
  std::string address = ShopAddress(8);
  FetchOutcome outcome;
  EXPECT_EQ(FetchPage(address, outcome), ShopPageBody(options, 8));
  EXPECT_EQ(outcome.transport, Transport::Cut);
  EXPECT_EQ(outcome.status, 200);
  EXPECT_TRUE(TruthFor(options, 8).has_value());
  // Pages a collector could read: the 404 page, the capped huge one, the
  // redirect's target; not the drop, the cut page, the 500 or the loop.
  for (const auto& [number, pages] :
       {std::pair{1, 0}, {2, 0}, {3, 1}, {4, 0}, {5, 0}, {6, 1}, {7, 1}, {8, 0}})
    EXPECT_EQ(server.PagesServed(number), pages) << number;
  EXPECT_EQ(server.Dropped(), 1);
}

httplib::Result GetShop(httplib::Client& client, int number) {
  return client.Get("/",
                    httplib::Headers{{"Host", "shop" + std::to_string(number) + ".taobao.com"}});
}

bool IsPage(const httplib::Result& answer) {
  return answer && (answer->status == 200 || answer->status == 404);
}

// Every attempt gets what the draws say: a dropped connection, a 503, or the
// page in its declared character set; and the counters see the same.
TEST(MarketSimServer, BusyAndDroppedAttemptsFollowTheirDraws) {
  Options options;
  options.seed = 8;
  options.utf8Share = 0.5;
  options.busyShare = 0.3;
  options.busyRetryAfter = 2;
  options.dropShare = 0.2;
  Server server(options);
  const int port = server.Start();
  ASSERT_GT(port, 0);
  httplib::Client client("127.0.0.1", port);
  int busy = 0, dropped = 0;
  for (int number = 1; number <= 40; ++number) {
    int pages = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
      SCOPED_TRACE(std::to_string(number) + "/" + std::to_string(attempt));
      const auto answer = GetShop(client, number);
      if (DroppedAt(options, number, attempt)) {
        EXPECT_FALSE(answer);
        ++dropped;
      } else if (BusyAt(options, number, attempt)) {
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 503);
        EXPECT_EQ(answer->get_header_value("Retry-After"), "2");
        EXPECT_FALSE(answer->body.empty());
        ++busy;
      } else {
        ASSERT_TRUE(answer);
        EXPECT_TRUE(IsPage(answer));
        EXPECT_EQ(answer->body, ShopPageBody(options, number));
        EXPECT_EQ(answer->get_header_value("Content-Type"), ServedInUtf8(options, number)
                                                                ? "text/html; charset=utf-8"
                                                                : "text/html; charset=gbk");
        ++pages;
      }
    }
    EXPECT_EQ(server.PagesServed(number), pages) << number;
  }
  EXPECT_GT(busy, 10);
  EXPECT_GT(dropped, 5);
  EXPECT_EQ(server.Answered503(), busy);
  EXPECT_EQ(server.Dropped(), dropped);
  EXPECT_EQ(server.Answered429(), 0);
}

// Beyond the limit within a second: 429 with Retry-After. The refused
// requests do not count, so the limit frees up a second after the accepted ones.
TEST(MarketSimServer, RateLimitRefusesTheBurstBeyondItAndCountsOnlyAccepted) {
  Options options;
  options.rateLimit = 10;
  Server server(options);
  const int port = server.Start();
  ASSERT_GT(port, 0);
  httplib::Client client("127.0.0.1", port);
  // The second is the simulator's own clock: a request answered before a
  // second has passed since the first ten were sent met all ten within it.
  // On a busy machine later requests may fall past it and be let through.
  const auto started = std::chrono::steady_clock::now();
  for (int number = 1; number <= 10; ++number) EXPECT_TRUE(IsPage(GetShop(client, number)));
  auto lastLetThrough = std::chrono::steady_clock::now();
  std::this_thread::sleep_until(started + 500ms);
  int refused = 0;
  std::set<int> letThrough;
  for (int number = 11; number <= 25; ++number) {
    const auto answer = GetShop(client, number);
    ASSERT_TRUE(answer);
    const auto answeredAt = std::chrono::steady_clock::now();
    if (answer->status == 429) {
      ++refused;
      EXPECT_EQ(answer->get_header_value("Retry-After"), "1");
      EXPECT_EQ(server.PagesServed(number), 0);
    } else {
      EXPECT_GE(answeredAt - started, 1s) << number << " let through within the second";
      letThrough.insert(number);
      lastLetThrough = answeredAt;
    }
  }
  EXPECT_EQ(server.Answered429(), refused);
  if (refused == 0) GTEST_SKIP() << "too busy a machine: no request came within the second";
  std::this_thread::sleep_until(lastLetThrough + 1100ms);
  for (int number = 11; number <= 15; ++number) EXPECT_TRUE(IsPage(GetShop(client, number)));
  EXPECT_EQ(server.PagesServed(11), letThrough.contains(11) ? 2 : 1);
}

TEST(MarketSimServer, OutageClosesEveryConnectionForItsLengthThenEnds) {
  Options options;
  options.outageAfter = 3;
  options.outageMs = 500;
  Server server(options);
  const int port = server.Start();
  ASSERT_GT(port, 0);
  httplib::Client client("127.0.0.1", port);
  for (int number = 1; number <= 3; ++number) EXPECT_TRUE(IsPage(GetShop(client, number)));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(GetShop(client, 4));
  EXPECT_FALSE(GetShop(client, 4));
  EXPECT_FALSE(GetShop(client, 1));
  EXPECT_EQ(server.Dropped(), 3);
  std::this_thread::sleep_until(started + 600ms);
  EXPECT_TRUE(IsPage(GetShop(client, 4)));
  EXPECT_EQ(server.PagesServed(4), 1);
  EXPECT_EQ(server.PagesServed(1), 1);
}

// Every form of the block refuses every shop request after the N-th for good.
TEST(MarketSimServer, BlockRefusesForGoodAfterTheNthRequestInEachForm) {
  const struct {
    BlockForm form;
    int status;       // what the client finally gets
    bool signInHost;  // after a redirect to the sign-in host
    int answered429;
  } cases[] = {
      {BlockForm::TooMany, 429, false, 5},
      {BlockForm::Forbidden, 403, false, 0},
      {BlockForm::SignIn, 200, true, 0},
      {BlockForm::Verify, 200, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(BlockFormName(c.form)));
    EXPECT_EQ(ParseBlockForm(BlockFormName(c.form)), c.form);
    Options options;
    options.density = 1;
    options.blockAfter = 5;
    options.blockForm = c.form;
    Server server(options);
    const int port = server.Start();
    ASSERT_GT(port, 0);
    ProxyScope proxy(port);
    EXPECT_FALSE(server.FirstBlockedNumber());
    for (int number = 10; number < 20; ++number) {
      std::string address = ShopAddress(number);
      FetchOutcome outcome;
      const std::string body = FetchPage(address, outcome);
      const bool blocked = number >= 15;
      SCOPED_TRACE(number);
      EXPECT_EQ(outcome.status, blocked ? c.status : 200);
      EXPECT_EQ(outcome.finalAddress,
                blocked && c.signInHost ? std::string(kSignInAddress) : ShopAddress(number));
      EXPECT_EQ(body.find("data-value") != std::string::npos, !blocked);
    }
    EXPECT_EQ(server.FirstBlockedNumber(), 15);
    EXPECT_EQ(server.PagesServed(10), 1);
    EXPECT_EQ(server.PagesServed(15), 0);
    EXPECT_EQ(server.Answered429(), c.answered429);
  }
}

TEST(MarketSimServer, GrowingMarketplaceShowsNoShopAboveItsNewestNumberOrInASkip) {
  Options options;
  options.density = 1;
  options.topAtStart = 1000;
  options.risePerSecond = 10;
  options.skips = {{1005, 100}};
  EXPECT_EQ(NewestAt(options, 0.45), 1004);
  EXPECT_EQ(NewestAt(options, 0.5), 1105);  // the fifth number given out jumps the skip
  EXPECT_EQ(OpenedAt(options, 1004), 0.4);
  EXPECT_EQ(OpenedAt(options, 1005), std::nullopt);
  EXPECT_EQ(OpenedAt(options, 1104), std::nullopt);
  EXPECT_EQ(OpenedAt(options, 1105), 0.5);
  EXPECT_EQ(OpenedAt(options, 1000), 0.0);

  options.risePerSecond = 0;  // a top that stands still, so the edge is exact
  options.skips.clear();
  Server server(options);
  const int port = server.Start();
  ASSERT_GT(port, 0);
  ProxyScope proxy(port);
  EXPECT_EQ(server.Newest(), 1000);
  for (const int number : {999, 1000, 1001}) {
    std::string address = ShopAddress(number);
    FetchOutcome outcome;
    const std::string body = FetchPage(address, outcome);
    EXPECT_EQ(outcome.status, 200) << number;
    EXPECT_EQ(body.find("data-value") != std::string::npos, number <= 1000) << number;
  }
}

TEST(MarketSimServer, BlockForATimeEndsByItself) {
  Options options;
  options.density = 1;
  options.blockAfter = 1;
  options.blockForMs = 300;
  options.blockForm = BlockForm::Verify;
  Server server(options);
  const int port = server.Start();
  ASSERT_GT(port, 0);
  ProxyScope proxy(port);
  const auto shop = [](int number) {
    std::string address = ShopAddress(number);
    FetchOutcome outcome;
    return FetchPage(address, outcome).find("data-value") != std::string::npos;
  };
  EXPECT_TRUE(shop(10));
  EXPECT_FALSE(shop(11));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_TRUE(shop(12));
}

// Lower bounds only: a round trip for every answer, two on a new connection.
TEST(MarketSimServer, RoundTripDelaysEveryAnswerAndTheHandshakeOnce) {
  Options options;
  options.rttMs = 150;
  Server server(options);
  const int port = server.Start();
  ASSERT_GT(port, 0);
  httplib::Client client("127.0.0.1", port);
  client.set_keep_alive(true);
  auto timed = [&](int number) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(IsPage(GetShop(client, number)));
    return std::chrono::steady_clock::now() - started;
  };
  EXPECT_GE(timed(1), 300ms);
  EXPECT_GE(timed(2), 150ms);
  httplib::Client fresh("127.0.0.1", port);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(IsPage(GetShop(fresh, 3)));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
}

// Thirty clients at once, each answer taking a second: served side by side,
// not in turns of a small pool or after a handshake retried for a full backlog.
TEST(MarketSimServer, ThirtySlowRequestsAtOnceAreServedSideBySide) {
  Options options;
  options.latencyMs = 1000;
  Server server(options);
  const int port = server.Start();
  ASSERT_GT(port, 0);
  std::vector<std::thread> clients;
  std::atomic<int> pages{0};
  const auto started = std::chrono::steady_clock::now();
  for (int number = 1; number <= 30; ++number) {
    clients.emplace_back([&, number] {
      httplib::Client client("127.0.0.1", port);
      if (IsPage(GetShop(client, number))) ++pages;
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(pages, 30);
  // Side by side they take a second; a pool of 8 takes four, in turns thirty.
  // The bound between leaves room for a busy machine.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3500ms);
}

TEST(MarketSimServer, StopReturnsPromptlyWhileAPageStalls) {
  Options options;
  options.faultAt = {{1, Fault::Stall}};
  options.stallMs = 60000;
  options.latencyMs = 20;
  auto server = std::make_unique<Server>(options);
  const int port = server->Start();
  ASSERT_GT(port, 0);
  std::string body;
  std::thread client([&] {
    httplib::Client http("127.0.0.1", port);
    http.set_read_timeout(30, 0);
    if (auto answer = http.Get("/", httplib::Headers{{"Host", "shop1.taobao.com"}}))
      body = answer->body;
  });
  std::this_thread::sleep_for(300ms);
  const auto started = std::chrono::steady_clock::now();
  server->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  client.join();
  EXPECT_EQ(body.find("data-value"), std::string::npos);
  server.reset();  // a second stop in the destructor is harmless
}

TEST(MarketSimServer, ClientThatGivesUpFreesTheStalledWorker) {
  Options options;
  options.faultAt = {{1, Fault::Stall}};
  options.stallMs = 60000;
  Server server(options);
  const int port = server.Start();
  ASSERT_GT(port, 0);
  ProxyScope proxy(port);
  FetchLimits limits;
  limits.lowSpeedTimeSeconds = 1;
  limits.lowSpeedBytesPerSecond = 1000;
  std::string address = ShopAddress(1);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(FetchPage(address, limits), ShopPageBody(options, 1));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
  const auto stopping = std::chrono::steady_clock::now();
  server.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 1s);
}

// Runs the marketsim binary with arguments, no shell involved.
struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child Spawn(std::vector<std::string> args) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  args.insert(args.begin(), DT_MARKETSIM_BINARY);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  Child child;
  if (posix_spawn(&child.pid, DT_MARKETSIM_BINARY, &actions, nullptr, argv.data(), environ) != 0)
    child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  child.out = pipeFds[0];
  return child;
}

std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') line.push_back(c);
  return line;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  return text;
}

int WaitExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(MarketSimProgram, PrintsTheTruthOfARange) {
  Child child = Spawn({"--seed", "9", "--density", "0.3", "--fault-share", "0.2", "--faults",
                       "not-found,invalid-gbk", "--fault-at", "105=nul-bytes", "--utf8-share",
                       "0.5", "--truth", "100", "400"});
  ASSERT_GT(child.pid, 0);
  const std::string text = ReadAll(child.out);
  close(child.out);
  EXPECT_EQ(WaitExit(child.pid), 0);
  Options options;
  options.seed = 9;
  options.density = 0.3;
  options.faultShare = 0.2;
  options.faultKinds = {Fault::NotFound, Fault::InvalidGbk};
  options.faultAt = {{105, Fault::NulBytes}};
  options.utf8Share = 0.5;
  EXPECT_EQ(text, TruthLines(Truth(options, 100, 400)));
}

TEST(MarketSimProgram, ServesOnThePortItPrintsUntilTerminated) {
  Child child = Spawn({"--port", "0", "--density", "1"});
  ASSERT_GT(child.pid, 0);
  const int port = std::atoi(ReadLine(child.out).c_str());
  ASSERT_GT(port, 0);
  httplib::Client client("127.0.0.1", port);
  const auto answer = client.Get("/", httplib::Headers{{"Host", "shop12.taobao.com"}});
  ASSERT_TRUE(answer);
  Options everyNumber;
  everyNumber.density = 1;
  EXPECT_EQ(answer->body, ShopPageBody(everyNumber, 12));
  kill(child.pid, SIGTERM);
  EXPECT_EQ(WaitExit(child.pid), 0);
  close(child.out);
}

TEST(MarketSimProgram, RejectsBadArguments) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--faults", "stall,bogus"},
                                                                {"--density", "2"},
                                                                {"--port"},
                                                                {"--fault-at", "5"},
                                                                {"--seed", "x"},
                                                                {"--busy-share", "1.5"},
                                                                {"--busy-retry-after", "0"},
                                                                {"--rate-limit", "0"},
                                                                {"--outage-ms", "500"},
                                                                {"--block-after", "-1"},
                                                                {"--skip", "500"},
                                                                {"--rise", "-1"},
                                                                {"--what"}}) {
    Child child = Spawn(args);
    ASSERT_GT(child.pid, 0);
    ReadAll(child.out);
    close(child.out);
    EXPECT_EQ(WaitExit(child.pid), 2) << args[0];
  }
}

}  // namespace
}  // namespace dt::marketsim
