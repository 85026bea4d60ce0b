#include "collect/collector.h"

#include <algorithm>
#include <utility>

#include "collect/answer_kind.h"
#include "collect/shop_task.h"
#include "shoppage/shop_page.h"
#include "text/failure_log.h"
#include "text/gbk_text.h"
#include "text/page_charset.h"

namespace dt {

Collector::Collector(WorkerPool& pool, RunLock& lock, CollectorConfig config)
    : config_(std::move(config)),
      pace_(config_.paceRules),
      run_(pool, lock,
           [this](ShopNumber number, int attempt) { return FetchShopPage(number, attempt); }) {
  // The sink says when found rows are kept; until then their numbers hold
  // the resume point.
  if (config_.rowSink != nullptr) {
    config_.rowSink->OnKept(
        [this](const std::vector<std::int64_t>& numbers) { run_.RowsKept(numbers); });
  }
  run_.OnDrought([this](std::int64_t length) {
    ReportFailure(FailureArea::Run,
                  ToText(length) + " numbers in a row without a shop; the run stops");
    status_.AppendStatusLine(std::string(kDroughtMessageStart) + ToText(length) +
                             std::string(kDroughtMessageEnd));
  });
}

Collector::~Collector() {
  // The sink may outlive the collector: it no longer reports to it.
  if (config_.rowSink != nullptr) config_.rowSink->OnKept({});
}

Collector::Collector(WorkerPool& pool, RunLock& lock, std::function<void(ShopNumber)> pageWork)
    : Collector(pool, lock, CollectorConfig{}) {
  testPageWork_ = std::move(pageWork);
}

CollectionRun::Step Collector::FetchShopPage(ShopNumber number, int attempt) {
  using Clock = MarketPace::Clock;
  using Verdict = MarketPace::Verdict;
  if (testPageWork_) {
    return CollectionRun::PageRest([this, number] {
      testPageWork_(number);
      return PageOutcome::Other;
    });
  }
  const auto notDone = [] { return PageOutcome::NotDone; };
  // After a block nothing more is asked of the marketplace; the number stays
  // to do.
  if (pace_.Blocked()) return CollectionRun::PageRest(notDone);
  // The first try of an admitted number goes ahead even after a stop (its
  // pace wait then ends early); a later one does not.
  if (!run_.PauseUntil(pace_.NextRequestAt(Clock::now()), run_.StopMark()) && attempt > 1)
    return CollectionRun::PageRest(notDone);
  std::string address = ShopAddress(number);
  const std::string asked = address;
  FetchOutcome outcome;
  std::string body;
  {
    RequestSlots::Held slot(run_.Slots());
    body = config_.fetchPage ? config_.fetchPage(address, outcome) : std::string();
  }
  // The conversion touches nothing shared: it stays outside the run lock.
  if (!body.empty()) body = PageInGbk(std::move(body), outcome.contentType);
  // A transfer cut or ended by a time limit after its whole shop arrived.
  const bool wholeShop =
      (outcome.transport == Transport::Cut || outcome.transport == Transport::TimedOut) &&
      !body.empty() && HoldsWholeShop(PageText(body));
  const Verdict verdict =
      pace_.After(number, attempt, outcome, Clock::now(), asked, wholeShop, body.empty());
  run_.Slots().After(verdict.answer);
  switch (verdict.kind) {
    case Verdict::Read:
      // Numbers given up while the marketplace was down get their turn.
      if (std::vector<std::int64_t> redo = pace_.TakeRedo(); !redo.empty()) run_.Redo(redo);
      return CollectionRun::PageRest(
          [this, number, address = std::move(address), body = std::move(body)] {
            return ShopPageWork(number, address, body);
          });
    case Verdict::Fail:
      return CollectionRun::PageRest([] { return PageOutcome::Failed; });
    case Verdict::Blocked:
      if (const std::shared_ptr<FollowSource> follow = FollowRun()) {
        // A follow run is not ended by a block: it waits and tries again.
        follow->Refused();
        pace_.Reset();
        return CollectionRun::PageRest(notDone);
      }
      ReportBlock(number);
      return CollectionRun::PageRest(notDone);
    case Verdict::Halted:
      return CollectionRun::PageRest(notDone);
    case Verdict::Retry:
      break;
  }
  run_.CountRetry();
  return CollectionRun::Step::Again(Clock::now() + verdict.pause);
}

void Collector::ReportBlock(ShopNumber number) {
  ReportFailure(FailureArea::Run,
                "the marketplace refused every try; the run stops at " + ToText(number));
  run_.Block(pace_.TakeGivenUpInStreak());
  status_.AppendStatusLine(std::string(
      pace_.StreakRefusal() == Refusal::Denied ? kMarketSignInMessage : kMarketRefusedMessage));
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
  if (const std::shared_ptr<FollowSource> follow = FollowRun()) {
    follow->Accepted(number, fields->shopName);
  }
  if (config_.rowSink != nullptr) {
    run_.HoldUntilKept(number);
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

RunProgress Collector::Progress() const {
  RunProgress progress = run_.Progress();
  progress.paceMilliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(pace_.Interval()).count();
  progress.marketDown = pace_.Down(MarketPace::Clock::now());
  const RequestSlots& requests = run_.Slots();
  progress.requestsAtOnce = requests.Ceiling();
  progress.inFlight = requests.InFlight();
  progress.requestLimit = requests.Limit();
  if (progress.mode != RunMode::Follow) return progress;
  const std::shared_ptr<FollowSource> follow = Follow();
  if (!follow) return progress;
  progress.frontier = follow->FrontierNumber();
  progress.nextPoll = follow->NextPoll();
  progress.newShops = follow->NewShops();
  // The span from the start to the frontier; nothing to resume from but the
  // follow state.
  progress.last = std::max(progress.first, progress.frontier);
  if (progress.state == RunState::Running) {
    switch (follow->CurrentPhase()) {
      case Frontier::Phase::Waiting:
        progress.state = RunState::Following;
        break;
      case Frontier::Phase::Blocked:
        progress.state = RunState::Blocked;
        break;
      case Frontier::Phase::Finding:
      case Frontier::Phase::Polling:
        break;
    }
  }
  return progress;
}

void Collector::ForgetLastRun() {
  {
    std::lock_guard<std::mutex> guard(followMutex_);
    followRunning_ = false;
  }
  logFailureReported_.store(false);
  pace_.Reset();
  run_.Slots().Reset();
}

void Collector::Start(int first) {
  ForgetLastRun();
  run_.Start(first);
}

std::shared_ptr<FollowSource> Collector::Follow() const {
  std::lock_guard<std::mutex> guard(followMutex_);
  return follow_;
}

std::shared_ptr<FollowSource> Collector::FollowRun() const {
  std::lock_guard<std::mutex> guard(followMutex_);
  return followRunning_ ? follow_ : nullptr;
}

void Collector::StartFollow(std::int64_t from, std::optional<FollowState> saved,
                            FollowSettings settings) {
  ForgetLastRun();
  std::function<void(const FollowNews&)> onNews;
  {
    std::lock_guard<std::mutex> guard(followMutex_);
    onNews = onFollowNews_;
  }
  auto source = std::make_shared<FollowSource>(
      from, saved, settings, [this, onNews = std::move(onNews)](const FollowNews& news) {
        // A block and its end get one status line each.
        if (news.kind == FollowNews::Blocked) {
          ReportFailure(FailureArea::Run, "the marketplace refuses the follow run; it waits");
          status_.AppendStatusLine(std::string(kFollowBlockedMessage));
        } else if (news.kind == FollowNews::Resumed) {
          status_.AppendStatusLine(std::string(kFollowResumedMessage));
        }
        if (onNews) onNews(news);
      });
  {
    std::lock_guard<std::mutex> guard(followMutex_);
    follow_ = source;
    followRunning_ = true;
  }
  run_.StartSource(std::move(source));
}

std::optional<FollowState> Collector::FollowSnapshot() const {
  const std::shared_ptr<FollowSource> follow = Follow();
  if (!follow) return std::nullopt;
  return follow->State();
}

void Collector::OnFollowNews(std::function<void(const FollowNews&)> handler) {
  std::lock_guard<std::mutex> guard(followMutex_);
  onFollowNews_ = std::move(handler);
}

bool Collector::StartFailedNumbers() {
  const std::set<std::int64_t> failed = run_.FailedNumbers();
  if (failed.empty()) return false;
  ForgetLastRun();
  run_.StartList(std::vector<std::int64_t>(failed.begin(), failed.end()));
  return true;
}

}  // namespace dt
