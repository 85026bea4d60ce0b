#include "collect/market_pace.h"

#include <algorithm>

namespace dt {
namespace {

using std::chrono::duration_cast;
using Duration = MarketPace::Clock::duration;

Duration Scaled(Duration d, double factor) {
  return duration_cast<Duration>(
      std::chrono::duration<double, Duration::period>(static_cast<double>(d.count()) * factor));
}

}  // namespace

MarketPace::MarketPace(PaceRules rules) : rules_(rules), random_(std::random_device{}()) {}

void MarketPace::Reset() {
  std::lock_guard<std::mutex> guard(mutex_);
  streak_ = false;
  streakNumbers_.clear();
  givenUp_.clear();
  streakWasDown_ = false;
  blocked_ = false;
  redo_.clear();
  notBefore_ = {};
  streakRefusal_ = Refusal::None;
  recent_.clear();
  recentRefusals_ = 0;
  recentRefused_.clear();
  // What a storm added belongs to the run it came in.
  if (stormWidened_) interval_ = preStorm_;
  stormWidened_ = false;
  pagesInARow_ = 0;
}

void MarketPace::Remember(bool refusal) {
  recent_.push_back(refusal);
  recentRefusals_ += refusal ? 1 : 0;
  while (static_cast<int>(recent_.size()) > std::max(rules_.recentAnswers, 1)) {
    recentRefusals_ -= recent_.front() ? 1 : 0;
    recent_.pop_front();
  }
}

bool MarketPace::StormLocked() const {
  // A handful of answers say nothing of a share.
  return static_cast<int>(recent_.size()) * 2 >= rules_.recentAnswers &&
         recentRefusals_ > rules_.stormShare * static_cast<double>(recent_.size());
}

MarketPace::Clock::time_point MarketPace::NextRequestAt(Clock::time_point now) {
  std::lock_guard<std::mutex> guard(mutex_);
  Clock::time_point at = std::max({now, notBefore_, lastStart_ + interval_});
  lastStart_ = at;
  recentStarts_.push_back(at);
  while (!recentStarts_.empty() && now - recentStarts_.front() >= std::chrono::seconds(1))
    recentStarts_.pop_front();
  return at;
}

Duration MarketPace::BackOff(int attempt, Duration first) {
  Duration pause = first;
  for (int i = 1; i < attempt && pause < rules_.longestPause; ++i) pause *= 2;
  pause = std::min<Duration>(pause, rules_.longestPause);
  if (rules_.jitter > 0) {
    std::uniform_real_distribution<double> share(0.0, rules_.jitter);
    pause = Scaled(pause, 1.0 + share(random_));
  }
  return pause;
}

bool MarketPace::DownLocked(Clock::time_point now) const {
  return streak_ && streakNumbers_.size() >= 3 && now - streakStart_ >= rules_.downAfter;
}

void MarketPace::FitToRefusedRate(Clock::time_point now) {
  const auto lastSecond = [now](std::deque<Clock::time_point>& moments) {
    while (!moments.empty() && now - moments.front() >= std::chrono::seconds(1))
      moments.pop_front();
    // Moments reserved for later (behind a Retry-After) are no starts yet.
    return static_cast<std::int64_t>(std::upper_bound(moments.begin(), moments.end(), now) -
                                     moments.begin());
  };
  // What the marketplace took: the requests of the last second it did not
  // refuse. With many requests out at once most of a burst may be refused;
  // counting those would fit the interval to the burst, not to the limit.
  const std::int64_t taken = lastSecond(recentStarts_) - lastSecond(recentRefused_);
  // A couple of requests in a second say nothing of a rate.
  if (taken < 3) return;
  limit_ = Duration(std::chrono::seconds(1)) / taken;
  const Duration fitted = Scaled(limit_, 1 + rules_.margin);
  // The interval goes to a little under that rate; a refusal never shortens
  // it, pages do, slowly.
  interval_ = std::min<Duration>(std::max(interval_, fitted), rules_.longestInterval);
  // A storm gives back only what it added itself.
  if (stormWidened_) preStorm_ = std::min<Duration>(std::max(preStorm_, fitted), interval_);
}

void MarketPace::Recover() {
  ++pagesInARow_;
  if (stormWidened_) {
    // Pages again: the requests go at the pace from before the storm at
    // once. The storm is over once pages come in a row; its refusals are
    // forgotten then, so that the next refusal is not taken for it going on.
    interval_ = preStorm_;
    if (pagesInARow_ >= rules_.stormOver) {
      stormWidened_ = false;
      recent_.clear();
      recentRefusals_ = 0;
    }
    return;
  }
  // Back to the margin above the refused rate quickly; below it only
  // slowly, to find out whether the marketplace allows more now.
  const Duration margin = Scaled(limit_, 1 + rules_.margin);
  const double back =
      interval_ > Scaled(margin, 1.5) && !StormLocked() ? rules_.afterStorm : rules_.recovery;
  interval_ = interval_ > margin ? std::max(margin, interval_ - Scaled(interval_, back))
                                 : interval_ - Scaled(interval_, rules_.probing);
}

MarketPace::Verdict MarketPace::After(std::int64_t number, int attempt, const FetchOutcome& outcome,
                                      Clock::time_point now, std::string_view askedAddress,
                                      bool wholeShop, bool emptyBody) {
  std::lock_guard<std::mutex> guard(mutex_);
  // Silent: two other numbers failed since the last page was read.
  const std::size_t others = streakNumbers_.size() - (streakNumbers_.contains(number) ? 1 : 0);
  const MarketBefore before =
      streak_ && others >= 2 ? MarketBefore::Silent : MarketBefore::Answering;
  const AnswerClass answer = ClassifyAnswer(outcome, askedAddress, before, emptyBody);
  if (answer.kind == AnswerKind::Unusable) return {Verdict::Fail, {}, answer};
  // Answers to requests out when the run was blocked: the block is handled
  // once, by the answer that found it.
  if (blocked_) return {Verdict::Halted, {}, answer};
  // A cut page that already holds its whole shop is read: the cut took
  // nothing of it, and another try could only lose it.
  bool read = answer.kind == AnswerKind::Page;
  if (answer.kind == AnswerKind::Trouble && wholeShop && outcome.status > 0 &&
      (outcome.transport == Transport::Cut || outcome.transport == Transport::TimedOut)) {
    // Only what would be a page had it come whole.
    FetchOutcome whole = outcome;
    whole.transport = Transport::Complete;
    read = ClassifyAnswer(whole, askedAddress, before, false).kind == AnswerKind::Page;
  }
  Remember(answer.kind == AnswerKind::Refusal);
  if (read) {
    // The marketplace answers. Numbers given up while it was down are owed
    // another try; ones given up while it answered others stay failed.
    if (streak_ && streakWasDown_) redo_.insert(redo_.end(), givenUp_.begin(), givenUp_.end());
    streak_ = false;
    streakNumbers_.clear();
    givenUp_.clear();
    streakWasDown_ = false;
    streakRefusal_ = Refusal::None;
    Recover();
    return {Verdict::Read, {}, answer};
  }
  pagesInARow_ = 0;

  if (!streak_) {
    streak_ = true;
    streakStart_ = now;
  }
  streakNumbers_.insert(number);
  if (answer.refusal == Refusal::Denied || streakRefusal_ == Refusal::None)
    streakRefusal_ = answer.refusal;
  if (answer.kind == AnswerKind::Refusal) {
    recentRefused_.push_back(now);
    while (now - recentRefused_.front() >= std::chrono::seconds(1)) recentRefused_.pop_front();
  }
  const bool storm = answer.kind == AnswerKind::Refusal && StormLocked();
  // Refused again before the storm was over: its interval comes back.
  if (stormWidened_ && answer.kind == AnswerKind::Refusal)
    interval_ = std::max(interval_, stormInterval_);
  // A 429 speaks of the rate of the whole run; so do refusals that are most
  // of what the marketplace says. One page's trouble, or a refusal now and
  // then among pages, speaks of that page alone: its Retry-After holds only
  // its own next try, and the pace learns nothing from it.
  const bool rateLimit = answer.refusal == Refusal::Busy && outcome.status == 429;
  Duration retryAfter{};
  if (outcome.retryAfterSeconds) {
    retryAfter = std::min<Duration>(
        rules_.longestRetryAfter,
        std::chrono::seconds(std::min<std::int64_t>(*outcome.retryAfterSeconds, 86400)));
    if (rateLimit || storm) notBefore_ = std::max(notBefore_, now + retryAfter);
  }
  if (rateLimit) FitToRefusedRate(now);
  // Refusals are most of what the marketplace says: whatever their form, it
  // is asked less often, so that tries waiting in the queue never flood it.
  if (storm && now - lastWidened_ >= std::max<Duration>(interval_, rules_.stormFloor)) {
    lastWidened_ = now;
    if (!stormWidened_) preStorm_ = interval_;
    stormWidened_ = true;
    const Duration widest = std::max<Duration>(
        interval_, std::min<Duration>(rules_.longestInterval, rules_.probePause));
    interval_ = std::min<Duration>(std::max<Duration>(interval_ * 2, rules_.stormFloor), widest);
    stormInterval_ = interval_;
  }
  const bool down = DownLocked(now);
  streakWasDown_ = streakWasDown_ || down;
  if (down && now - streakStart_ >= rules_.blockAfter) {
    blocked_ = true;
    return {Verdict::Blocked, {}, answer};
  }
  if (attempt < rules_.attempts) {
    const bool busy = answer.kind == AnswerKind::Refusal &&
                      recentRefusals_ >= rules_.busyShare * static_cast<double>(recent_.size());
    return {Verdict::Retry,
            std::max(BackOff(attempt, busy ? rules_.firstPause : rules_.troublePause), retryAfter),
            answer};
  }
  if (down) {
    // Keep probing with this number, but not past the moment the run is to
    // be given up.
    const Duration untilBlocked = streakStart_ + rules_.blockAfter - now;
    return {Verdict::Retry,
            std::min(std::max<Duration>(rules_.probePause, retryAfter),
                     std::max<Duration>(untilBlocked, Duration{})),
            answer};
  }
  givenUp_.insert(number);
  return {Verdict::Fail, {}, answer};
}

std::vector<std::int64_t> MarketPace::TakeRedo() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::int64_t> redo;
  redo.swap(redo_);
  return redo;
}

std::vector<std::int64_t> MarketPace::TakeGivenUpInStreak() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::int64_t> numbers(givenUp_.begin(), givenUp_.end());
  givenUp_.clear();
  return numbers;
}

bool MarketPace::Blocked() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return blocked_;
}

Refusal MarketPace::StreakRefusal() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return streakRefusal_;
}

bool MarketPace::Down(Clock::time_point now) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return DownLocked(now);
}

MarketPace::Clock::duration MarketPace::Interval() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return interval_;
}

}  // namespace dt
