#include "collect/market_pace.h"

#include <gtest/gtest.h>

#include <climits>

namespace dt {
namespace {

using namespace std::chrono_literals;
using Verdict = MarketPace::Verdict;
using Clock = MarketPace::Clock;

FetchOutcome Answer(long status, std::optional<std::int64_t> retryAfter = std::nullopt) {
  FetchOutcome outcome;
  outcome.transport = Transport::Complete;
  outcome.status = status;
  outcome.retryAfterSeconds = retryAfter;
  return outcome;
}

FetchOutcome Broken(Transport transport) {
  FetchOutcome outcome;
  outcome.transport = transport;
  return outcome;
}

PaceRules Exact() {
  PaceRules rules;
  rules.jitter = 0;
  return rules;
}

TEST(MarketPace, RetryAfterInSecondsOrAsADate) {
  const std::time_t now = 1700000000;  // Tue, 14 Nov 2023 22:13:20 GMT
  const struct {
    const char* value;
    std::optional<std::int64_t> seconds;
  } cases[] = {
      {"120", 120},
      {" 7 ", 7},
      {"0", 0},
      {"99999999999999999999999", INT64_MAX},
      {"-3", std::nullopt},
      {"1.5", std::nullopt},
      {"12abc", std::nullopt},
      {"", std::nullopt},
      {"Tue, 14 Nov 2023 22:14:20 GMT", 60},
      {"Tue, 14 Nov 2023 22:13:00 GMT", 0},  // already past
      {"soon", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(RetryAfterSeconds(c.value, now), c.seconds) << c.value;
}

// The pauses double up to the cap, jitter only lengthens them, and a
// Retry-After is never cut short below the cap the rules set.
TEST(MarketPace, PausesGrowAndRespectRetryAfter) {
  MarketPace pace(Exact());
  const Clock::time_point t{};
  // One page's trouble waits briefly, and so does a refusal now and then
  // among pages; a refusal that is a quarter of the recent answers waits
  // long (a busy moment).
  EXPECT_EQ(pace.After(1, 1, Answer(500), t).pause, 100ms);
  EXPECT_EQ(pace.After(1, 2, Answer(500), t).pause, 200ms);
  EXPECT_EQ(pace.After(1, 3, Answer(500), t).pause, 400ms);
  EXPECT_EQ(pace.After(1, 4, Answer(500), t).kind, Verdict::Fail);
  for (int i = 0; i < 14; ++i) pace.After(2, 1, Answer(200), t);
  EXPECT_EQ(pace.After(8, 2, Answer(503), t).pause, 200ms);  // 1 of 20
  for (int i = 0; i < 2; ++i) pace.After(9 + i, 1, Answer(503), t);
  EXPECT_EQ(pace.After(8, 2, Answer(503), t).pause, 200ms);  // 4 of 20
  EXPECT_EQ(pace.After(8, 2, Answer(503), t).pause, 2s);     // 5 of 20
  EXPECT_EQ(pace.After(2, 1, Answer(200), t).kind, Verdict::Read);

  PaceRules many = Exact();
  many.attempts = 20;
  MarketPace capped(many);
  Clock::duration last{};
  for (int attempt = 1; attempt < 12; ++attempt)
    last = capped.After(3, attempt, Answer(502), t).pause;
  EXPECT_EQ(last, many.longestPause);

  EXPECT_EQ(pace.After(4, 1, Answer(429, 9), t).pause, 9s);
  EXPECT_EQ(pace.After(4, 2, Answer(429, 1), t).pause, 2s);  // the back-off is longer
  EXPECT_EQ(pace.After(4, 3, Answer(503, 86400 * 365), t).pause, Exact().longestRetryAfter);

  // A Retry-After on one page's trouble, or on a refusal now and then among
  // pages, holds that number only and teaches the pace nothing; on a 429 it
  // holds the whole run.
  MarketPace own(Exact());
  for (int i = 0; i < 19; ++i) own.After(20 + i, 1, Answer(200), t);
  for (const long status : {503L, 500L, 520L}) {
    EXPECT_EQ(own.After(6, 1, Answer(status, 5), t).pause, 5s) << status;
    EXPECT_EQ(own.NextRequestAt(t), t) << status;
  }
  EXPECT_EQ(own.Interval(), Clock::duration{});
  own.After(7, 1, Answer(429, 5), t);
  EXPECT_EQ(own.NextRequestAt(t), t + 5s);

  PaceRules jittered;
  MarketPace random(jittered);
  for (int i = 0; i < 200; ++i) {
    const auto pause = random.After(5, 2, Answer(429), t).pause;
    ASSERT_GE(pause, 2s);
    ASSERT_LE(pause, 2500ms);
  }
}

// A Retry-After holds every request of the run back, and a busy answer
// spaces requests out to what the marketplace took; pages that arrive
// shorten the interval again, slowly.
TEST(MarketPace, PaceGrowsOnBusyAnswersAndRecoversSlowly) {
  MarketPace pace(Exact());
  Clock::time_point t = Clock::time_point{} + 1h;
  // 26 requests in 260 ms, the last refused.
  for (int i = 0; i < 26; ++i) EXPECT_EQ(pace.NextRequestAt(t + i * 10ms), t + i * 10ms);
  t += 250ms;
  pace.After(7, 1, Answer(429, 1), t);
  EXPECT_EQ(pace.Interval(), 42ms);                 // 25 a second fitted, 5% under
  EXPECT_EQ(pace.NextRequestAt(t), t + 1s);         // the Retry-After
  EXPECT_EQ(pace.NextRequestAt(t), t + 1s + 42ms);  // then the interval
  // Moments reserved behind the Retry-After are no requests yet: a second
  // refusal among the 26 leaves 24 taken.
  for (int i = 0; i < 2; ++i) pace.NextRequestAt(t);
  pace.After(6, 1, Answer(429, 1), t + 100ms);
  EXPECT_GT(pace.Interval(), 43ms);
  EXPECT_LE(pace.Interval(), 43750us);
  const auto fitted = pace.Interval();
  EXPECT_EQ(pace.After(7, 2, Answer(200), t + 1s).kind, Verdict::Read);
  EXPECT_LT(pace.Interval(), fitted);  // below the margin only slowly
  EXPECT_GT(pace.Interval(), 43ms);
  for (int i = 0; i < 5000; ++i) pace.After(8 + i, 1, Answer(200), t + 2s);
  EXPECT_LT(pace.Interval(), 20ms);

  // A couple of requests refused say nothing of a rate.
  const auto before = pace.Interval();
  pace.NextRequestAt(t + 1h);
  pace.NextRequestAt(t + 1h);
  pace.After(9, 1, Answer(503, 1), t + 1h);
  pace.After(9, 2, Answer(429), t + 1h);
  EXPECT_EQ(pace.Interval(), before);
  // Sixteen at once go out far faster than the limit: of 100 requests in a
  // second the marketplace took 25 and refused the rest. The interval fits
  // what it took, not what was sent, once the storm of refusals is over.
  MarketPace sixteen(Exact());
  const Clock::time_point burst = t + 2h;
  for (int i = 0; i < 100; ++i) sixteen.NextRequestAt(burst + i * 9ms);
  for (int i = 0; i < 75; ++i) sixteen.After(13 + i, 1, Answer(429, 1), burst + 900ms + i * 1ms);
  for (int i = 0; i < 2; ++i) sixteen.After(100 + i, 1, Answer(200), burst + 2s);
  EXPECT_EQ(sixteen.Interval(), 42ms);

  // A new run forgets the Retry-After, not the interval.
  pace.After(10, 1, Answer(429, 30), t + 3h - 1s);
  pace.Reset();
  EXPECT_EQ(pace.NextRequestAt(t + 3h), t + 3h);
}

// A number that keeps failing while others are read is given up; three
// numbers failing for downAfter make the marketplace down, and the number then
// is probed instead of given up; the numbers given up meanwhile are owed a
// redo once a page arrives.
TEST(MarketPace, AnOutageIsWaitedOutAndItsGivenUpNumbersRedone) {
  MarketPace pace(Exact());
  Clock::time_point t = Clock::time_point{} + 1h;
  const FetchOutcome dropped = Broken(Transport::NoAnswer);
  for (int attempt = 1; attempt < 4; ++attempt) pace.After(100, attempt, dropped, t += 1s);
  EXPECT_EQ(pace.After(100, 4, dropped, t += 1s).kind, Verdict::Fail);
  EXPECT_FALSE(pace.Down(t));
  for (int attempt = 1; attempt < 4; ++attempt) pace.After(101, attempt, dropped, t += 4s);
  EXPECT_FALSE(pace.Down(t));  // two numbers: one page's trouble and another's
  pace.After(102, 1, dropped, t);
  ASSERT_TRUE(pace.Down(t));
  const Verdict probe = pace.After(101, 4, dropped, t += 1s);
  EXPECT_EQ(probe.kind, Verdict::Retry);
  EXPECT_EQ(probe.pause, Exact().probePause);
  EXPECT_TRUE(pace.TakeRedo().empty());
  EXPECT_EQ(pace.After(101, 5, Answer(200), t += 5s).kind, Verdict::Read);
  EXPECT_EQ(pace.TakeRedo(), std::vector<std::int64_t>{100});
  EXPECT_TRUE(pace.TakeRedo().empty());
  EXPECT_FALSE(pace.Down(t));

  // One bad number among good ones is only a failed number.
  for (int attempt = 1; attempt < 4; ++attempt) pace.After(200, attempt, dropped, t += 5s);
  EXPECT_EQ(pace.After(200, 4, dropped, t += 5s).kind, Verdict::Fail);
  EXPECT_EQ(pace.After(201, 1, Answer(200), t += 1s).kind, Verdict::Read);
  EXPECT_TRUE(pace.TakeRedo().empty());
}

// A marketplace that refuses everything stops the run within two minutes of
// its first refusal, with the default rules, and says which numbers it had
// given up meanwhile. A denial anywhere in the streak, after busy answers
// too, names the block a sign-in's.
TEST(MarketPace, ARefusingMarketplaceBlocksTheRunWithinTwoMinutes) {
  for (const int deniedAt : {-1, 5}) {
    SCOPED_TRACE(deniedAt);
    MarketPace pace;  // the program's own rules, jitter included
    const Clock::time_point start = Clock::time_point{} + 1h;
    Clock::time_point t = start;
    std::int64_t number = 300;
    int attempt = 1;
    Verdict verdict;
    for (int step = 0; step < 1000; ++step) {
      // Each refusal comes a moment after the request the verdict allowed.
      t = std::max(pace.NextRequestAt(t), t) + 10ms;
      verdict = pace.After(number, attempt, Answer(step == deniedAt ? 403 : 429), t);
      if (verdict.kind == Verdict::Blocked) break;
      if (verdict.kind == Verdict::Fail) {
        ++number;
        attempt = 1;
        continue;
      }
      ++attempt;
      t += verdict.pause;
    }
    ASSERT_EQ(verdict.kind, Verdict::Blocked);
    // Answers to requests still out are not a second block.
    EXPECT_EQ(pace.After(number + 1, 1, Answer(429), t).kind, Verdict::Halted);
    EXPECT_EQ(pace.After(number + 2, 1, Answer(200), t).kind, Verdict::Halted);
    EXPECT_LE(t - start, 2min);
    EXPECT_GE(t - start, 60s);  // an outage of a minute is still waited out
    EXPECT_TRUE(pace.Blocked());
    EXPECT_EQ(pace.StreakRefusal(), deniedAt < 0 ? Refusal::Busy : Refusal::Denied);
    const std::vector<std::int64_t> givenUp = pace.TakeGivenUpInStreak();
    ASSERT_FALSE(givenUp.empty());
    EXPECT_EQ(givenUp.front(), 300);
    pace.Reset();
    EXPECT_FALSE(pace.Blocked());
  }
}

// Down only when nothing at all is read: the number of numbers tried and the
// time without a page, each at its limit; any page ends it, whatever failed.
TEST(MarketPace, DownNeedsThreeNumbersAndTheWholeIntervalWithoutAPage) {
  const struct {
    const char* what;
    FetchOutcome failure;
    int numbers;
    std::chrono::seconds silent;
    bool pageBetween;
    bool down;
  } cases[] = {
      {"502 from three numbers for the interval", Answer(502), 3, 15s, false, true},
      {"403 likewise", Answer(403), 3, 15s, false, true},
      {"two numbers are one page's trouble and another's", Answer(502), 2, 60s, false, false},
      {"a second short of the interval", Answer(502), 3, 14s, false, false},
      {"a page read in between", Broken(Transport::Cut), 4, 60s, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MarketPace pace(Exact());
    const Clock::time_point t = Clock::time_point{} + 1h;
    for (int i = 0; i < c.numbers; ++i) {
      pace.After(500 + i, 1, c.failure, t);
      if (c.pageBetween && i == c.numbers / 2) pace.After(600, 1, Answer(200), t + c.silent / 2);
    }
    pace.After(500, 2, c.failure, t + c.silent);
    EXPECT_EQ(pace.Down(t + c.silent), c.down);
  }
}

// When refusals are most of the recent answers, the interval widens without
// any Retry-After, at most once an interval and up to the cap; a few
// refusals among pages leave it alone; pages bring it back.
TEST(MarketPace, ARefusalStormWidensThePace) {
  MarketPace pace(Exact());
  Clock::time_point t = Clock::time_point{} + 1h;
  for (int i = 0; i < 100; ++i) {
    pace.After(i, 1, Answer(i % 2 ? 503 : 200), t += 10ms);
    pace.After(i, 1, Answer(200), t);
  }
  EXPECT_EQ(pace.Interval(), Clock::duration{});  // one refusal in two answers is no storm
  for (int i = 0; i < 10; ++i) pace.After(1000 + i, 1, Answer(403), t += 1ms);
  EXPECT_EQ(pace.Interval(), Exact().stormFloor);  // once within the interval
  Clock::duration previous = pace.Interval();
  for (int i = 0; i < 8; ++i) {  // the cap at the last, within the block time
    t += previous;
    pace.After(2000 + i, 1, Answer(503), t);
    EXPECT_EQ(pace.Interval(), std::min<Clock::duration>(previous * 2, Exact().probePause));
    previous = pace.Interval();
  }
  // Refusals that are most answers hold the whole run for their Retry-After.
  pace.After(2100, 1, Answer(503, 2), t);
  EXPECT_EQ(pace.NextRequestAt(t), t + 2s);
  // A page gives back the interval from before the storm; a refusal before
  // the second page in a row takes the storm's up again; after it, the storm
  // is over and a refusal is one among pages.
  const auto widened = pace.Interval();
  pace.After(3000, 1, Answer(200), t);
  EXPECT_EQ(pace.Interval(), Clock::duration{});
  pace.After(3001, 1, Answer(503), t);
  EXPECT_EQ(pace.Interval(), widened);
  pace.After(3002, 1, Answer(200), t);
  pace.After(3003, 1, Answer(200), t);
  pace.After(3004, 1, Answer(503), t += 1min);
  EXPECT_EQ(pace.Interval(), Clock::duration{});

  // A storm over an interval learned from a 429 gives back that interval,
  // which then shrinks as slowly as before.
  MarketPace limited(Exact());
  for (int i = 0; i < 26; ++i) limited.NextRequestAt(t + i * 10ms);
  limited.After(1, 1, Answer(429), t + 250ms);
  ASSERT_EQ(limited.Interval(), 42ms);
  for (int i = 0; i < 30; ++i) limited.After(100 + i, 1, Answer(403), t += 1s);
  ASSERT_GT(limited.Interval(), 1s);
  limited.After(200, 1, Answer(200), t);
  limited.After(201, 1, Answer(200), t);
  EXPECT_EQ(limited.Interval(), 42ms);
  limited.After(202, 1, Answer(200), t);
  EXPECT_LT(limited.Interval(), 42ms);
  EXPECT_GT(limited.Interval(), 41ms);
}

// A cut page is tried again unless its body already holds a whole shop and
// it would be a page had it come whole.
TEST(MarketPace, CutPagesAreReadWhenTheirShopIsWhole) {
  MarketPace pace(Exact());
  const Clock::time_point t = Clock::time_point{} + 1h;
  FetchOutcome cut = Broken(Transport::Cut);
  cut.status = 200;
  const char* asked = "http://shop1.taobao.com/";
  EXPECT_EQ(pace.After(1, 1, cut, t, asked, false).kind, Verdict::Retry);
  EXPECT_EQ(pace.After(1, 2, cut, t, asked, true).kind, Verdict::Read);
  EXPECT_EQ(pace.After(2, 4, cut, t, asked, false).kind, Verdict::Fail);  // its last try
  FetchOutcome slow = Broken(Transport::TimedOut);
  slow.status = 200;
  EXPECT_EQ(pace.After(6, 1, slow, t, asked, false).kind, Verdict::Retry);  // timed out: again
  EXPECT_EQ(pace.After(6, 1, slow, t, asked, true).kind, Verdict::Read);
  FetchOutcome cutError = Answer(502);
  cutError.transport = Transport::Cut;  // an error page is no page, whole or not
  EXPECT_EQ(pace.After(7, 1, cutError, t, asked, true).kind, Verdict::Retry);
  FetchOutcome noStatus = Broken(Transport::Cut);  // nothing but bytes: no page
  EXPECT_EQ(pace.After(3, 1, noStatus, t, asked, true).kind, Verdict::Retry);
}

}  // namespace
}  // namespace dt
