// How the collector treats a marketplace that does not always answer: which
// answers are worth another try, how long that try waits (in the run's queue,
// never in place), how far apart requests go so that the run keeps the
// marketplace's pace, and when the marketplace counts as down or as refusing
// the run for good. Pure decisions over the times it is given; the caller
// does the waiting.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <string_view>
#include <vector>

#include "collect/answer_kind.h"
#include "shoppage/fetch_page.h"

namespace dt {

struct PaceRules {
  // Tries of one number while the marketplace still counts as up. Four tries
  // (pauses of about 1, 2 and 4 s) ride out a busy moment; a page that still
  // fails then is kept as a failed number instead of stalling the run.
  int attempts = 4;
  // Before the second try while refusals are busyShare of the recent
  // answers or more (a busy moment: pauses of about 1, 2 and 4 s ride it
  // out); doubles before every further try.
  std::chrono::milliseconds firstPause{1000};
  double busyShare = 0.25;
  // The same after one page's trouble, or a refusal now and then among
  // pages: they say nothing of the marketplace as a whole, so the tries wait
  // only for a momentary failure to pass (0.1, 0.2, 0.4 s), and a range's
  // last numbers keep the run waiting for less than a second.
  std::chrono::milliseconds troublePause{100};
  std::chrono::milliseconds longestPause{30000};
  double jitter = 0.25;  // a pause is lengthened by a random share up to this
  // A Retry-After longer than this is taken as this.
  std::chrono::milliseconds longestRetryAfter{60000};
  // Nothing read for this long, with three numbers or more tried whatever
  // their failures: the marketplace is down; a number that has had its tries
  // is then tried on every probePause instead of being given up.
  std::chrono::milliseconds downAfter{15000};
  std::chrono::milliseconds probePause{5000};
  // Down for this long since the first failed try: the run stops.
  std::chrono::milliseconds blockAfter{90000};
  // The least interval between request starts never grows beyond this.
  std::chrono::milliseconds longestInterval{10000};
  // After a busy answer requests go this share slower than the rate that
  // was refused.
  double margin = 0.05;
  // Each page that arrives shortens the interval by this share of itself
  // while it lies above that margin, and by the probing share below it: a
  // run under a limit settles just below it and meets it rarely.
  double recovery = 1.0 / 64;
  double probing = 1.0 / 4096;
  // Answers remembered across numbers, and the share of refusals among them
  // from which the marketplace counts as refusing most requests: each further
  // refusal then widens the interval (doubling, at most once an interval,
  // from stormFloor on, never beyond probePause: a marketplace that is down
  // is probed no more often than that anyway), Retry-After or not.
  int recentAnswers = 20;
  double stormShare = 0.5;
  std::chrono::milliseconds stormFloor{100};
  // While the interval lies above the margin of a refused rate, each page
  // shortens it by this share.
  double afterStorm = 1.0 / 8;
  // Pages read in a row that end a storm. The first gives the interval back
  // as it was before the storm; a refusal before the last takes the storm's
  // interval up again.
  int stormOver = 2;
};

class MarketPace {
 public:
  using Clock = std::chrono::steady_clock;

  struct Verdict {
    enum Kind {
      Read,     // read the body
      Retry,    // try the same number again after pause
      Fail,     // give the number up: a failed number
      Blocked,  // the marketplace refuses the run: stop, the number stays to do
      Halted,   // blocked by an earlier answer already: the number stays to do
    } kind = Read;
    Clock::duration pause{};
    AnswerClass answer;  // how the answer was classed
  };

  explicit MarketPace(PaceRules rules = {});

  // A new run: everything learned about the marketplace's health is
  // forgotten; the interval is kept, the marketplace's limit rarely changes.
  void Reset();

  // The moment the next request may start, at or after now; reserves it, so
  // calls from several threads get distinct, paced moments.
  Clock::time_point NextRequestAt(Clock::time_point now);

  // The decision after the attempt-th try (from 1) of number ended so.
  // askedAddress: what was asked for (a final address on another host is a
  // refusal); wholeShop: the body, though cut, holds a whole shop and is read;
  // emptyBody: not one byte of a body came. Only the first answer that finds
  // the run blocked gets Blocked; later ones get Halted.
  Verdict After(std::int64_t number, int attempt, const FetchOutcome& outcome,
                Clock::time_point now, std::string_view askedAddress = {}, bool wholeShop = false,
                bool emptyBody = false);

  // Numbers given up during a failure streak that turned out to be an
  // outage: the marketplace is back, they are to be tried again. Taken once.
  std::vector<std::int64_t> TakeRedo();
  // The numbers given up in the streak that ended the run as blocked.
  std::vector<std::int64_t> TakeGivenUpInStreak();

  bool Blocked() const;
  // The refusal that weighed most in the latest failure streak: Denied when
  // any answer of it was, else Busy or Gone (None without refusals).
  Refusal StreakRefusal() const;
  bool Down(Clock::time_point now) const;
  Clock::duration Interval() const;

 private:
  Clock::duration BackOff(int attempt, Clock::duration first);
  bool DownLocked(Clock::time_point now) const;
  void Remember(bool refusal);
  bool StormLocked() const;
  // Fits the interval to the rate the marketplace took in the last second
  // when it refused with a 429.
  void FitToRefusedRate(Clock::time_point now);
  // A page arrived: the interval comes back towards what the marketplace took.
  void Recover();

  const PaceRules rules_;
  mutable std::mutex mutex_;
  std::minstd_rand random_;
  Clock::duration interval_{};
  Clock::duration limit_{};  // the spacing the marketplace last refused
  Clock::time_point lastStart_{};
  Clock::time_point notBefore_{};
  std::deque<Clock::time_point> recentStarts_;   // the last second's
  std::deque<Clock::time_point> recentRefused_;  // the last second's refusals
  // The current run of failed tries without a page in between.
  bool streak_ = false;
  Clock::time_point streakStart_{};
  std::set<std::int64_t> streakNumbers_;
  std::set<std::int64_t> givenUp_;
  bool streakWasDown_ = false;
  bool blocked_ = false;
  std::vector<std::int64_t> redo_;
  Refusal streakRefusal_ = Refusal::None;
  std::deque<bool> recent_;  // the latest answers: true for a refusal
  int recentRefusals_ = 0;
  Clock::time_point lastWidened_{};
  // A storm widened the interval from preStorm_ to stormInterval_; pages
  // in a row since.
  bool stormWidened_ = false;
  Clock::duration preStorm_{};
  Clock::duration stormInterval_{};
  int pagesInARow_ = 0;
};

}  // namespace dt
