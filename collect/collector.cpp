#include "collect/collector.h"

#include <utility>

#include "collect/shop_task.h"
#include "shoppage/shop_page.h"
#include "text/failure_log.h"
#include "text/gbk_text.h"
#include "text/page_charset.h"

namespace dt {

Collector::Collector(WorkerPool& pool, RunLock& lock, CollectorConfig config)
    : config_(std::move(config)),
      pace_(config_.paceRules),
      run_(
          pool, lock, [this](ShopNumber number) { return FetchShopPage(number); },
          CollectionRun::TwoSteps{}) {}

Collector::Collector(WorkerPool& pool, RunLock& lock, std::function<void(ShopNumber)> pageWork)
    : Collector(pool, lock, CollectorConfig{}) {
  testPageWork_ = std::move(pageWork);
}

CollectionRun::PageRest Collector::FetchShopPage(ShopNumber number) {
  if (testPageWork_) {
    return [this, number] {
      testPageWork_(number);
      return PageOutcome::Other;
    };
  }
  std::string address = ShopAddress(number);
  PageOutcome failure = PageOutcome::Failed;
  std::optional<Fetched> fetched = FetchWithTries(number, address, failure);
  if (!fetched) return [failure] { return failure; };
  // An empty body is a fetch that failed: no page from the marketplace
  // is ever empty.
  if (fetched->body.empty()) return [] { return PageOutcome::Failed; };
  // The conversion touches nothing shared: it stays outside the run lock.
  return [this, number, address = std::move(address),
          body = PageInGbk(std::move(fetched->body), fetched->outcome.contentType)] {
    return ShopPageWork(number, address, body);
  };
}

PageOutcome Collector::ShopPageWork(ShopNumber number, const std::string& address,
                                    const std::string& body) {
  const std::optional<ShopPageFields> fields = ParseShopPage(PageText(body));
  if (!fields) return PageOutcome::Other;
  if (ShopRejected(*fields, zeroItems_.load(), zeroCredit_.load())) {
    status_.AppendStatusLine(std::string(kFilterNotePrefix) + ToText(number));
    return PageOutcome::Filtered;
  }
  // The row holds the fields exactly as the page gave them.
  ResultsStore::Cells cells;
  cells[kColAccount] = fields->sellerAccount;
  cells[kColShopName] = fields->shopName;
  cells[kColAddress] = address;
  cells[kColCreated] = fields->creationDate;
  cells[kColCredit] = fields->creditLevel;
  cells[kColItems] = fields->itemCount;
  if (config_.rowSink != nullptr) {
    config_.rowSink->Found(number, std::move(cells));
  } else {
    std::vector<ShopRow> rows(1);
    rows[0].number = number;
    rows[0].cells = std::move(cells);
    results_.Put(std::move(rows));
  }
  if (config_.writeShopLog && !config_.writeShopLog(ToText(number), ShopLogValue(*fields)) &&
      !logFailureReported_.exchange(true)) {
    ReportFailure(FailureArea::Run, "shop log entry of " + ToText(number) + " not written");
    status_.AppendStatusLine(std::string(kShopLogFailedMessage) + config_.shopLogName);
  }
  return PageOutcome::Listed;
}

std::optional<Collector::Fetched> Collector::FetchWithTries(ShopNumber number, std::string& address,
                                                            PageOutcome& failure) {
  using Clock = MarketPace::Clock;
  // A stop, a block or a new start ends the waiting between tries.
  const std::uint64_t mark = run_.StopMark();
  failure = PageOutcome::NotDone;
  Fetched fetched;
  for (int attempt = 1;; ++attempt) {
    // After a block nothing more is asked of the marketplace; the number
    // stays to do.
    if (pace_.Blocked()) return std::nullopt;
    // The first try of an admitted number goes ahead even after a stop (its
    // pace wait then ends early); a further try does not.
    if (!run_.PauseUntil(pace_.NextRequestAt(Clock::now()), mark) && attempt > 1)
      return std::nullopt;
    fetched.outcome = FetchOutcome{};
    const std::uint64_t epoch = run_.Slots().Epoch();
    fetched.body = config_.fetchPage ? config_.fetchPage(address, fetched.outcome) : std::string();
    run_.Slots().After(fetched.outcome, epoch);
    const MarketPace::Verdict verdict = pace_.After(number, attempt, fetched.outcome, Clock::now());
    switch (verdict.kind) {
      case MarketPace::Verdict::Read:
        // Numbers given up while the marketplace was down get their turn.
        if (std::vector<std::int64_t> redo = pace_.TakeRedo(); !redo.empty()) run_.Redo(redo);
        return fetched;
      case MarketPace::Verdict::Fail:
        failure = PageOutcome::Failed;
        return std::nullopt;
      case MarketPace::Verdict::Blocked:
        ReportFailure(FailureArea::Run,
                      "the marketplace refused every try; the run stops at " + ToText(number));
        run_.Block(pace_.TakeGivenUpInStreak());
        status_.AppendStatusLine(std::string(kMarketRefusedMessage));
        return std::nullopt;
      case MarketPace::Verdict::Retry:
        break;
    }
    run_.CountRetry();
    if (!run_.PauseUntil(Clock::now() + verdict.pause, mark)) return std::nullopt;
  }
}

RunProgress Collector::Progress() const {
  RunProgress progress = run_.Progress();
  progress.paceMilliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(pace_.Interval()).count();
  progress.marketDown = pace_.Down(MarketPace::Clock::now());
  const RequestSlots& requests = run_.Slots();
  progress.requestsAtOnce = requests.Ceiling();
  progress.inFlight = requests.InFlight();
  progress.requestLimit = requests.Limit();
  return progress;
}

void Collector::Start(int first) {
  logFailureReported_.store(false);
  pace_.Reset();
  run_.Slots().Reset();
  run_.Start(first);
}

bool Collector::StartFailedNumbers() {
  const std::set<std::int64_t> failed = run_.FailedNumbers();
  if (failed.empty()) return false;
  logFailureReported_.store(false);
  pace_.Reset();
  run_.Slots().Reset();
  run_.StartList(std::vector<std::int64_t>(failed.begin(), failed.end()));
  return true;
}

}  // namespace dt
