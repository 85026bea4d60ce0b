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

AnswerKind KindOf(const FetchOutcome& outcome) {
  switch (outcome.transport) {
    case Transport::Complete:
      break;
    case Transport::NoConnection:
    case Transport::NoAnswer:
    case Transport::Cut:
    case Transport::TimedOut:
      return AnswerKind::Transient;
    case Transport::Unusable:
      return AnswerKind::Unusable;
  }
  switch (outcome.status) {
    case 429:
    case 503:
      return AnswerKind::Busy;
    case 408:
    case 500:
    case 502:
    case 504:
      return AnswerKind::Transient;
    default:
      return AnswerKind::Page;
  }
}

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
}

MarketPace::Clock::time_point MarketPace::NextRequestAt(Clock::time_point now) {
  std::lock_guard<std::mutex> guard(mutex_);
  Clock::time_point at = std::max({now, notBefore_, lastStart_ + interval_});
  lastStart_ = at;
  recentStarts_.push_back(at);
  while (!recentStarts_.empty() && at - recentStarts_.front() >= std::chrono::seconds(1))
    recentStarts_.pop_front();
  return at;
}

Duration MarketPace::BackOff(int attempt) {
  Duration pause = rules_.firstPause;
  for (int i = 1; i < attempt && pause < rules_.longestPause; ++i) pause *= 2;
  pause = std::min<Duration>(pause, rules_.longestPause);
  if (rules_.jitter > 0) {
    std::uniform_real_distribution<double> share(0.0, rules_.jitter);
    pause = Scaled(pause, 1.0 + share(random_));
  }
  return pause;
}

bool MarketPace::DownLocked(Clock::time_point now) const {
  return streak_ && streakNumbers_.size() >= 2 && now - streakStart_ >= rules_.downAfter;
}

MarketPace::Verdict MarketPace::After(std::int64_t number, int attempt, const FetchOutcome& outcome,
                                      Clock::time_point now) {
  const AnswerKind kind = KindOf(outcome);
  std::lock_guard<std::mutex> guard(mutex_);
  if (kind == AnswerKind::Unusable) return {Verdict::Fail, {}};
  if (kind == AnswerKind::Page) {
    // The marketplace answers. Numbers given up while it was down are owed
    // another try; ones given up while it answered others stay failed.
    if (streak_ && streakWasDown_) redo_.insert(redo_.end(), givenUp_.begin(), givenUp_.end());
    streak_ = false;
    streakNumbers_.clear();
    givenUp_.clear();
    streakWasDown_ = false;
    // Back to the margin above the refused rate quickly; below it only
    // slowly, to find out whether the marketplace allows more now.
    const Duration margin = Scaled(limit_, 1 + rules_.margin);
    interval_ = interval_ > margin
                    ? std::max(margin, interval_ - Scaled(interval_, rules_.recovery))
                    : interval_ - Scaled(interval_, rules_.probing);
    return {Verdict::Read, {}};
  }

  if (!streak_) {
    streak_ = true;
    streakStart_ = now;
  }
  streakNumbers_.insert(number);
  Duration retryAfter{};
  if (outcome.retryAfterSeconds) {
    retryAfter = std::min<Duration>(
        rules_.longestRetryAfter,
        std::chrono::seconds(std::min<std::int64_t>(*outcome.retryAfterSeconds, 86400)));
    // Asked of the marketplace as a whole: no request of the run goes
    // before it.
    notBefore_ = std::max(notBefore_, now + retryAfter);
  }
  // A 429, or a 503 that says when to come back, asks for a slower rate; a
  // bare 503 is a busy moment that the pauses before the next try answer.
  if (kind == AnswerKind::Busy && (outcome.status == 429 || outcome.retryAfterSeconds)) {
    // What the marketplace refused: the requests of the last second. The
    // interval goes to a little under that rate and stays there; more
    // refusals at the same pace change nothing, so a marketplace that
    // refuses at random does not slow the run ever further.
    while (!recentStarts_.empty() && now - recentStarts_.front() >= std::chrono::seconds(1))
      recentStarts_.pop_front();
    // A couple of requests in a second say nothing of a rate: then the
    // pauses before the next try are answer enough.
    const auto starts = static_cast<std::int64_t>(recentStarts_.size());
    if (starts >= 3) {
      limit_ = Duration(std::chrono::seconds(1)) / (starts - 1);
      interval_ = std::min<Duration>(std::max(interval_, Scaled(limit_, 1 + rules_.margin)),
                                     rules_.longestInterval);
    }
  }
  const bool down = DownLocked(now);
  streakWasDown_ = streakWasDown_ || down;
  if (down && now - streakStart_ >= rules_.blockAfter) {
    blocked_ = true;
    return {Verdict::Blocked, {}};
  }
  if (attempt < rules_.attempts) return {Verdict::Retry, std::max(BackOff(attempt), retryAfter)};
  if (down) {
    // Keep probing with this number, but not past the moment the run is to
    // be given up.
    const Duration untilBlocked = streakStart_ + rules_.blockAfter - now;
    return {Verdict::Retry, std::min(std::max<Duration>(rules_.probePause, retryAfter),
                                     std::max<Duration>(untilBlocked, Duration{}))};
  }
  givenUp_.insert(number);
  return {Verdict::Fail, {}};
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

bool MarketPace::Down(Clock::time_point now) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return DownLocked(now);
}

MarketPace::Clock::duration MarketPace::Interval() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return interval_;
}

}  // namespace dt
