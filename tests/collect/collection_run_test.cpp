#include "collect/collection_run.h"
#include "collect/run_report.h"

#include <sched.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "text/gbk_text.h"

namespace dt {
namespace {

using namespace std::chrono_literals;

// Records every page work; optionally runs a hook inside it (under the run lock).
class Recorder {
 public:
  void operator()(ShopNumber n) {
    const int now = ++inside_;
    int seen = maxInside_.load();
    while (now > seen && !maxInside_.compare_exchange_weak(seen, now)) {
    }
    if (hook) hook(n);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ++visits_[n];
      order_.push_back(n);
    }
    --inside_;
  }
  std::map<long long, int> Visits() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return visits_;
  }
  std::vector<long long> Order() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return order_;
  }
  int MaxInside() const { return maxInside_.load(); }

  std::function<void(ShopNumber)> hook;

 private:
  mutable std::mutex mutex_;
  std::map<long long, int> visits_;
  std::vector<long long> order_;
  std::atomic<int> inside_{0};
  std::atomic<int> maxInside_{0};
};

// The resume point splits the range: every number below it was done once, it
// was not.
void ExpectResumeSplits(const RunProgress& progress, const std::map<long long, int>& visits) {
  if (!progress.resume) return;
  for (long long n = progress.first; n < *progress.resume; ++n) EXPECT_EQ(visits.count(n), 1u) << n;
  EXPECT_EQ(visits.count(*progress.resume), 0u);
}

constexpr DroughtRules kNoDrought{INT64_MAX, 1, 0};

class RunTest : public ::testing::Test {
 protected:
  RunTest() : run_(pool_, lock_, CollectionRun::Plain([this](ShopNumber n) { recorder_(n); })) {
    run_.SetDroughtRules(kNoDrought);  // pages of these tests never hold a shop
  }
  ~RunTest() override { EXPECT_TRUE(run_.WaitUntilIdle(30s)); }

  void Start(int first, int last) {
    run_.SetLastNumber(last);
    ASSERT_TRUE(run_.Click(first));
  }
  void WaitIdle() { ASSERT_TRUE(run_.WaitUntilIdle(30s)); }

  static std::map<long long, int> Each(long long first, long long last) {
    std::map<long long, int> m;
    for (long long n = first; n <= last; ++n) m[n] = 1;
    return m;
  }

  WorkerPool pool_;
  RunLock lock_;
  Recorder recorder_;
  CollectionRun run_;
};

TEST_F(RunTest, ShortRangeVisitsEachNumberOnceAndEndsIdle) {
  Start(100, 105);
  WaitIdle();
  EXPECT_EQ(recorder_.Visits(), Each(100, 105));
  EXPECT_FALSE(run_.Running());
  EXPECT_EQ(run_.NextNumber(), 120);  // no claim started a task
  const RunProgress progress = run_.Progress();
  EXPECT_EQ(progress.state, RunState::Finished);
  EXPECT_EQ(progress.done, 6);
  EXPECT_EQ(progress.RangeSize(), 6);
  EXPECT_EQ(progress.resume, std::nullopt);
}

TEST_F(RunTest, LongRangeVisitsEveryNumberOnceAndStaysRunning) {
  Start(100, 1000);
  WaitIdle();
  EXPECT_EQ(recorder_.Visits(), Each(100, 1000));
  EXPECT_EQ(recorder_.MaxInside(), 1);  // one page work at a time
  EXPECT_TRUE(run_.Running());          // the caption stays until the user clicks
  EXPECT_EQ(run_.NextNumber(), 1001);
  EXPECT_FALSE(run_.Click(0));  // that click only lowers the flag
  EXPECT_FALSE(run_.Running());
}

TEST_F(RunTest, FirstAboveLastVisitsNothing) {
  Start(500, 100);
  WaitIdle();
  EXPECT_TRUE(recorder_.Visits().empty());
  EXPECT_FALSE(run_.Running());
}

TEST_F(RunTest, FirstFieldWithoutDigitsStartsAtZero) {
  Start(ToInteger(""), 3);
  WaitIdle();
  EXPECT_EQ(recorder_.Visits(), Each(0, 3));
}

TEST_F(RunTest, NegativeRangeWorks) {
  Start(-30, -5);
  WaitIdle();
  EXPECT_EQ(recorder_.Visits(), Each(-30, -5));
}

// One task works at a time; the tasks are kept on one core between them, away
// from the starter's when there is a choice, also when the next run is
// started from another core and parked threads take its tasks.
TEST_F(RunTest, TasksOfARunShareOneCoreAwayFromTheStarter) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  ASSERT_EQ(::sched_getaffinity(0, sizeof allowed, &allowed), 0);
  std::vector<int> starters;
  for (int cpu = 0; cpu < CPU_SETSIZE && starters.size() < 2; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) starters.push_back(cpu);
  }
  if (starters.size() < 2) GTEST_SKIP() << "this process may use one core only";
  std::mutex mutex;
  std::set<int> cores;
  recorder_.hook = [&](ShopNumber) {
    std::lock_guard<std::mutex> guard(mutex);
    cores.insert(::sched_getcpu());
  };
  for (const int starter : starters) {
    cores.clear();
    std::thread([&] {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(starter, &one);
      ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
      run_.SetLastNumber(600);
      run_.Start(100);
    }).join();
    WaitIdle();
    EXPECT_EQ(cores.size(), 1u) << starter;
    EXPECT_EQ(cores.count(starter), 0u) << starter;
  }
}

TEST_F(RunTest, LoweringTheLastNumberEndsTheRun) {
  std::atomic<long long> handedOut{0};
  recorder_.hook = [&](ShopNumber n) {
    if (n == 300) {
      handedOut = run_.NextNumber();
      run_.SetLastNumber(250);
    }
  };
  Start(100, 100000);
  WaitIdle();
  // A task that met the new end at its admission lowered the flag; when every
  // task alive had passed admission before the change, the chains just claimed
  // nothing more and the flag waits for the user's click. Which of the two
  // happens is a matter of timing; in both the run is over.
  if (run_.Running()) {
    EXPECT_GT(run_.NextNumber(), run_.LastNumber());
    EXPECT_FALSE(run_.Click(0));
  }
  EXPECT_FALSE(run_.Running());
  const auto visits = recorder_.Visits();
  for (const auto& [n, count] : visits) EXPECT_EQ(count, 1) << n;
  // After the change no number is handed out any more: what still worked had
  // been admitted before it.
  const auto order = recorder_.Order();
  const auto at = std::find(order.begin(), order.end(), 300);
  ASSERT_NE(at, order.end());
  for (auto it = at + 1; it != order.end(); ++it) EXPECT_LT(*it, handedOut.load());
  EXPECT_LE(order.end() - at, CollectionRun::kBatchSize);
  // A task that reached admission only after the end was found did nothing;
  // the resume point names it.
  const RunProgress progress = run_.Progress();
  EXPECT_EQ(progress.state, RunState::Finished);
  EXPECT_EQ(progress.done, static_cast<std::int64_t>(visits.size()));
  ExpectResumeSplits(progress, visits);
  if (progress.resume) {
    EXPECT_LE(*progress.resume, 250);
  }
}

TEST_F(RunTest, StopClickAdmitsNothingAfterwards) {
  std::atomic<bool> stopped{false};
  std::atomic<long long> handedOutBeforeStop{0};
  std::atomic<int> afterStop{0};
  recorder_.hook = [&](ShopNumber n) {
    if (stopped) {
      ++afterStop;
      // Only tasks admitted before the click may still work.
      EXPECT_LT(n, handedOutBeforeStop.load()) << n;
    } else if (n >= 110) {
      // Stop while other tasks of the run wait for the lock.
      std::this_thread::sleep_for(20ms);
      handedOutBeforeStop = run_.NextNumber();
      EXPECT_FALSE(run_.Click(0));
      stopped = true;
    }
  };
  Start(100, 100000);
  WaitIdle();
  EXPECT_TRUE(stopped);
  EXPECT_LE(afterStop.load(), CollectionRun::kBatchSize);
  EXPECT_FALSE(run_.Running());
  // Successors claimed after the stop ended at admission.
  const auto visits = recorder_.Visits();
  EXPECT_LT(visits.rbegin()->first, handedOutBeforeStop.load());
  // The resume point: every number below it was done, it was not.
  const RunProgress progress = run_.Progress();
  EXPECT_EQ(progress.state, RunState::Stopped);
  EXPECT_EQ(progress.done, static_cast<std::int64_t>(visits.size()));
  ASSERT_TRUE(progress.resume.has_value());
  ExpectResumeSplits(progress, visits);
  EXPECT_LE(*progress.resume, handedOutBeforeStop.load());
}

TEST_F(RunTest, RestartWhileOldTasksWaitKeepsEveryNumberUnique) {
  std::atomic<bool> restarted{false};
  recorder_.hook = [&](ShopNumber n) {
    if (n == 100 && !restarted) {
      std::this_thread::sleep_for(20ms);
      EXPECT_FALSE(run_.Click(0));    // stop ...
      EXPECT_TRUE(run_.Click(5000));  // ... and start again at once
      restarted = true;
    }
  };
  Start(100, 5400);
  WaitIdle();
  const auto visits = recorder_.Visits();
  for (const auto& [n, count] : visits) EXPECT_EQ(count, 1) << n;
  for (long long n = 5000; n <= 5400; ++n) EXPECT_EQ(visits.count(n), 1u) << n;
  EXPECT_EQ(recorder_.MaxInside(), 1);
  // The old run's tasks that finished after the restart count for nothing in
  // the new run.
  EXPECT_GT(visits.size(), 401u);
  const RunProgress progress = run_.Progress();
  EXPECT_EQ(progress.state, RunState::Finished);
  EXPECT_EQ(progress.first, 5000);
  EXPECT_EQ(progress.done, 401);
  EXPECT_EQ(progress.resume, std::nullopt);
}

// What a page came to, by its number.
PageOutcome OutcomeOf(ShopNumber n) {
  switch (n % 5) {
    case 0:
      return PageOutcome::Listed;
    case 1:
      return PageOutcome::Filtered;
    case 2:
      return PageOutcome::Failed;
    default:
      return PageOutcome::Other;
  }
}

// Twenty chains: while a page is worked on, the resume point lies at or below
// it and every number below the resume point is done; at the end the counters
// match what the pages came to.
TEST(RunProgressTest, CountersAndTheResumePointUnderTwentyChains) {
  WorkerPool pool;
  RunLock lock;
  Recorder recorder;
  CollectionRun* self = nullptr;
  std::atomic<int> checks{0};
  recorder.hook = [&](ShopNumber n) {
    if (n % 7 != 0) return;
    const RunProgress p = self->Progress();
    EXPECT_EQ(p.state, RunState::Running);
    ASSERT_TRUE(p.resume.has_value());
    EXPECT_LE(*p.resume, n);
    const auto visits = recorder.Visits();
    for (long long k = 1000; k < *p.resume; ++k) EXPECT_EQ(visits.count(k), 1u) << k;
    ++checks;
  };
  CollectionRun run(pool, lock, CollectionRun::Counting([&](ShopNumber n) {
                      recorder(n);
                      return OutcomeOf(n);
                    }));
  self = &run;
  EXPECT_EQ(run.Progress().state, RunState::Idle);
  run.SetLastNumber(1999);
  run.Start(1000);
  ASSERT_TRUE(run.WaitUntilIdle(30s));
  EXPECT_GT(checks.load(), 100);
  const RunProgress p = run.Progress();
  EXPECT_EQ(p.state, RunState::Finished);
  EXPECT_TRUE(run.Running());  // finished with the caption still at "停  止"
  EXPECT_EQ(p.done, 1000);
  EXPECT_EQ(p.shops, 200);
  EXPECT_EQ(p.filtered, 200);
  EXPECT_EQ(p.failed, 200);
  EXPECT_EQ(p.next, 2000);
  EXPECT_EQ(p.resume, std::nullopt);
  // The click after the end leaves the run finished.
  run.Stop();
  EXPECT_EQ(run.Progress().state, RunState::Finished);
}

TEST(RunProgressTest, EmptyFetchesInARowSpanRunsAndEndWithTheFirstPage) {
  WorkerPool pool;
  RunLock lock;
  std::atomic<bool> answer{false};
  CollectionRun run(pool, lock, CollectionRun::Counting([&](ShopNumber) {
                      return answer ? PageOutcome::Other : PageOutcome::Failed;
                    }));
  run.SetLastNumber(159);
  run.Start(100);
  ASSERT_TRUE(run.WaitUntilIdle(30s));
  EXPECT_EQ(run.Progress().failedInARow, 60);
  run.Start(100);
  ASSERT_TRUE(run.WaitUntilIdle(30s));
  EXPECT_EQ(run.Progress().failedInARow, 120);
  EXPECT_EQ(run.Progress().failed, 60);
  answer = true;
  run.Start(100);
  ASSERT_TRUE(run.WaitUntilIdle(30s));
  EXPECT_EQ(run.Progress().failedInARow, 0);
  EXPECT_EQ(run.Progress().failed, 0);
}

TEST_F(RunTest, LastNumberAtTheTopOfTheRangeEndsWithoutWrapping) {
  Start(INT_MAX - 30, INT_MAX);
  WaitIdle();
  EXPECT_EQ(recorder_.Visits(), Each(static_cast<long long>(INT_MAX) - 30, INT_MAX));
  EXPECT_EQ(run_.NextNumber(), static_cast<long long>(INT_MAX) + 1);
}

TEST_F(RunTest, FirstBatchPastTheTopEndsAtAdmission) {
  Start(INT_MAX - 5, INT_MAX);
  WaitIdle();
  EXPECT_EQ(recorder_.Visits(), Each(static_cast<long long>(INT_MAX) - 5, INT_MAX));
  EXPECT_FALSE(run_.Running());
}

TEST_F(RunTest, StartReturnsAtOnceWhilePagesAreSlow) {
  // Every page is held until the click has returned: a click that waited for
  // a page would hold it until the hook gives up, which the test then sees.
  std::atomic<bool> clickReturned{false};
  std::atomic<bool> pageGaveUp{false};
  recorder_.hook = [&](ShopNumber) {
    const auto giveUpAt = std::chrono::steady_clock::now() + 10s;
    while (!clickReturned.load()) {
      if (std::chrono::steady_clock::now() > giveUpAt) {
        pageGaveUp = true;
        return;
      }
      std::this_thread::sleep_for(1ms);
    }
  };
  run_.SetLastNumber(104);
  ASSERT_TRUE(run_.Click(100));
  clickReturned = true;
  WaitIdle();
  EXPECT_FALSE(pageGaveUp) << "the click waited for a page";
  EXPECT_EQ(recorder_.Visits(), Each(100, 104));
}

// Keeps every posted task without running it, so a test decides which task
// reaches its admission check when.
class HoldingPool : public WorkerPool {
 public:
  bool StartThread(std::function<void()>) override { return true; }
};

// After the range end has lowered the flag, only the in-range tasks of the
// first batch of a range shorter than a batch are still admitted.
TEST(RunAdmission, AfterTheRangeEndOnlyTheShortRangesFirstBatchIsAdmitted) {
  const struct {
    int first, last;
    int claims;     // successors claimed before the end is found
    int endFinder;  // the number whose admission finds the range end
    int later;      // a task reaching admission afterwards
    bool admitted;
  } cases[] = {
      {100, 105, 0, 110, 103, true},                                     // in range, first batch
      {100, 105, 0, 110, 105, true},    {100, 105, 0, 110, 106, false},  // beyond the range
      {100, 100, 0, 101, 100, true},    {-10, -5, 0, 0, -7, true},
      {100, 1000, 0, 1001, 119, false},  // a long range: the first batch ends too
      {100, 1000, 5, 1001, 122, false},  // as do claimed successors
      {100, 1000, 5, 1001, 124, false}, {100, 1000, 5, 1001, 500, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.first << ".." << c.last << " " << c.later);
    HoldingPool pool;
    RunLock lock;
    CollectionRun run(pool, lock, {});
    run.SetLastNumber(c.last);
    run.Start(c.first);
    for (int i = 0; i < c.claims; ++i) run.ClaimNextNumber();
    EXPECT_TRUE(run.Admit(c.first));
    EXPECT_FALSE(run.Admit(c.endFinder));
    EXPECT_FALSE(run.Running());
    // The held tasks are alive: the run has ended, not finished.
    EXPECT_EQ(run.Progress().state, RunState::Ended);
    EXPECT_EQ(run.Admit(c.later), c.admitted);
    // A stop by the user ends even those.
    run.Stop();
    EXPECT_FALSE(run.Admit(c.later));
    EXPECT_EQ(run.Progress().state, RunState::Stopped);
  }
}

// Fails every third thread start: a chain whose successor cannot start ends,
// nothing crashes, no number is visited twice.
class FlakyPool : public WorkerPool {
 public:
  bool StartThread(std::function<void()> entry) override {
    if (++starts_ % 3 == 0) return false;
    return WorkerPool::StartThread(std::move(entry));
  }

 private:
  std::atomic<int> starts_{0};
};

TEST(RunFailures, ThreadsThatCannotStartEndTheirChains) {
  FlakyPool pool;
  RunLock lock;
  Recorder recorder;
  CollectionRun run(pool, lock, CollectionRun::Plain([&](ShopNumber n) { recorder(n); }));
  run.SetLastNumber(10000);
  run.Click(0);
  ASSERT_TRUE(run.WaitUntilIdle(30s));
  const auto visits = recorder.Visits();
  for (const auto& [n, count] : visits) EXPECT_EQ(count, 1);
  EXPECT_LT(visits.size(), 200u);  // the chains die out quickly
  EXPECT_GT(visits.size(), 0u);
}

// A thread start that throws, as std::thread does when the memory for the new
// thread's state runs out: the number is lost like a refused start, and
// neither the click nor the task that claims its successor lets the exception
// escape (on a detached thread that would end the whole program).
class ThrowingPool : public WorkerPool {
 public:
  bool StartThread(std::function<void()> entry) override {
    if (++starts_ % 3 == 0) throw std::bad_alloc();
    return WorkerPool::StartThread(std::move(entry));
  }

 private:
  std::atomic<int> starts_{0};
};

TEST(RunFailures, ThreadStartThatThrowsEndsOnlyItsChain) {
  ThrowingPool pool;
  RunLock lock;
  Recorder recorder;
  CollectionRun run(pool, lock, CollectionRun::Plain([&](ShopNumber n) { recorder(n); }));
  run.SetLastNumber(10000);
  EXPECT_NO_THROW(run.Click(0));
  ASSERT_TRUE(run.WaitUntilIdle(30s));
  EXPECT_EQ(run.ActiveTasks(), 0);
  const auto visits = recorder.Visits();
  for (const auto& [n, count] : visits) EXPECT_EQ(count, 1);
  EXPECT_LT(visits.size(), 200u);
  EXPECT_GT(visits.size(), 0u);
}

TEST(RunFailures, PageWorkThatThrowsLeavesTheLockAndTheChainGoesOn) {
  WorkerPool pool;
  RunLock lock;
  std::atomic<int> calls{0};
  CollectionRun run(pool, lock, CollectionRun::Plain([&](ShopNumber) {
                      ++calls;
                      throw std::bad_alloc();
                    }));
  run.SetLastNumber(99);
  run.Click(0);
  ASSERT_TRUE(run.WaitUntilIdle(30s));
  EXPECT_EQ(calls.load(), 100);
  // Not passed over as pages without a shop: each one is a failed number.
  EXPECT_EQ(run.Progress().failed, 100);
  EXPECT_EQ(run.FailedNumbers().size(), 100u);
}

// Keeps every posted task until the test runs it on its own thread, so a test
// decides which task works when; refuses the start of the numbers it is told.
class ManualPool : public WorkerPool {
 public:
  bool StartThread(std::function<void()> entry) override {
    if (++starts_ == refuseStart) return false;
    held_.push_back(std::move(entry));
    return true;
  }
  // Runs the oldest held task; false when none is held.
  bool RunNext() {
    if (held_.empty()) return false;
    const std::function<void()> entry = std::move(held_.front());
    held_.pop_front();
    entry();
    return true;
  }
  int refuseStart = 0;  // the n-th start fails (0: none)

 private:
  int starts_ = 0;
  std::deque<std::function<void()>> held_;
};

// The resume point at the range's edges: the last number while its page is
// still to come, a number whose thread never started after the run has
// finished, one refused while the last-number box passed a low value on its
// way up ("2" of "2000"), and a found row until the sink says it is kept.
TEST(RunResumePoint, HoldsAtTheEdgesOfTheRange) {
  const struct {
    const char* what;
    int refuseStart;
    int runFirst;  // tasks run before the first look
    RunState stateThen;
    std::optional<std::int64_t> resumeThen, resumeAtEnd;
    int done;
    ShopNumber held = 0;  // its row waits to be kept; 100: the box reads 2 meanwhile
  } cases[] = {
      {"the last number still to come", 0, 5, RunState::Running, 105, std::nullopt, 6},
      {"a task that never started", 3, 20, RunState::Finished, 102, 102, 5},
      {"a number refused while typed", 0, 2, RunState::Ended, 101, 101, 5, 100},
      {"a found row not yet kept", 0, 20, RunState::Finished, 103, 103, 6, 103},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ManualPool pool;
    pool.refuseStart = c.refuseStart;
    RunLock lock;
    Recorder recorder;
    CollectionRun run(pool, lock, CollectionRun::Plain([&](ShopNumber n) { recorder(n); }));
    recorder.hook = [&](ShopNumber n) {
      if (n == c.held) n == 100 ? run.SetLastNumber(2) : run.HoldUntilKept(n);
    };
    run.SetLastNumber(105);
    run.Start(100);
    for (int i = 0; i < c.runFirst; ++i) pool.RunNext();
    run.SetLastNumber(105);
    RunProgress p = run.Progress();
    EXPECT_EQ(p.state, c.stateThen);
    EXPECT_EQ(p.resume, c.resumeThen);
    while (pool.RunNext()) {
    }
    p = run.Progress();
    EXPECT_EQ(p.state, RunState::Finished);
    EXPECT_EQ(p.resume, c.resumeAtEnd);
    EXPECT_EQ(p.done, c.done);
    run.RowsKept({103});
    EXPECT_EQ(run.Progress().resume, c.held == 103 ? std::nullopt : c.resumeAtEnd);
  }
}

// Pages of an earlier start that finish after a restart: they count for
// nothing in the new run's figures, but whether the marketplace answered is
// news for the empty-page streak all the same.
TEST(RunProgressTest, OldTasksAfterARestartTouchOnlyTheStreak) {
  ManualPool pool;
  RunLock lock;
  PageOutcome next = PageOutcome::Failed;
  CollectionRun run(pool, lock, CollectionRun::Counting([&](ShopNumber) { return next; }));
  run.SetLastNumber(10000);
  run.Start(100);
  ASSERT_TRUE(pool.RunNext());  // 100, empty
  EXPECT_EQ(run.Progress().failedInARow, 1);
  run.Stop();
  run.Start(5000);
  ASSERT_TRUE(pool.RunNext());  // 101 of the old start, empty
  RunProgress p = run.Progress();
  EXPECT_EQ(p.failedInARow, 2);
  EXPECT_EQ(p.done, 0);
  EXPECT_EQ(p.failed, 0);
  EXPECT_EQ(p.resume, 5000);
  next = PageOutcome::Listed;
  ASSERT_TRUE(pool.RunNext());  // 102 of the old start, a page
  p = run.Progress();
  EXPECT_EQ(p.failedInARow, 0);
  EXPECT_EQ(p.done, 0);
  EXPECT_EQ(p.shops, 0);
  for (int i = 3; i < CollectionRun::kBatchSize + 1; ++i) ASSERT_TRUE(pool.RunNext());
  next = PageOutcome::Failed;
  ASSERT_TRUE(pool.RunNext());  // 5000, the new start's first
  p = run.Progress();
  EXPECT_EQ(p.failedInARow, 1);
  EXPECT_EQ(p.done, 1);
  EXPECT_EQ(p.failed, 1);
  EXPECT_EQ(p.resume, 5001);
}

// The failed list over runs: a number enters it when its page cannot be
// read, leaves it when a later run reads it; a run over the list ignores the
// range's last number and has no resume point; a block puts the numbers it
// gave up back below the resume point; a redo hands them out first.
TEST(RunFailedList, GrowsShrinksAndIsRunAgain) {
  ManualPool pool;
  RunLock lock;
  std::set<ShopNumber> unreadable = {101, 103};
  std::vector<ShopNumber> worked;
  CollectionRun run(pool, lock, CollectionRun::Counting([&](ShopNumber n) {
                      worked.push_back(n);
                      return unreadable.contains(n) ? PageOutcome::Failed : PageOutcome::Other;
                    }));
  run.SetLastNumber(104);
  run.Start(100);
  while (pool.RunNext()) {
  }
  EXPECT_EQ(run.FailedNumbers(), (std::set<std::int64_t>{101, 103}));
  const std::uint64_t version = run.FailedNumbersVersion();

  unreadable = {103};
  run.SetLastNumber(50);  // a list run is not bound by the box
  worked.clear();
  run.StartList({103, 101, 103});
  while (pool.RunNext()) {
  }
  EXPECT_EQ(worked, (std::vector<ShopNumber>{101, 103}));
  EXPECT_EQ(run.FailedNumbers(), std::set<std::int64_t>{103});
  EXPECT_GT(run.FailedNumbersVersion(), version);
  RunProgress p = run.Progress();
  EXPECT_EQ(p.state, RunState::Finished);
  EXPECT_FALSE(run.Running());  // its last task lowered the flag
  EXPECT_EQ(p.listSize, 2);
  EXPECT_EQ(p.RangeSize(), 2);
  EXPECT_EQ(p.resume, std::nullopt);

  // Given up, then redone before any new number.
  run.SetLastNumber(1000);
  unreadable = {200};
  worked.clear();
  run.Start(200);
  ASSERT_TRUE(pool.RunNext());  // 200 fails
  EXPECT_EQ(run.Progress().failed, 1);
  run.Redo({200, 999});  // 999 never failed in this run: nothing to redo
  unreadable.clear();
  ASSERT_TRUE(pool.RunNext());  // 201, whose successor is the redo
  p = run.Progress();
  EXPECT_EQ(p.failed, 0);
  EXPECT_EQ(p.resume, 200);
  while (pool.RunNext() && worked.size() < 25) {
  }
  EXPECT_EQ(std::count(worked.begin(), worked.end(), 200), 2);
  EXPECT_EQ(std::count(worked.begin(), worked.end(), 999), 0);
  EXPECT_FALSE(run.FailedNumbers().contains(200));

  // A block: the given-up number is to do again, and nothing new is admitted.
  unreadable = {230};
  while (pool.RunNext() && !run.FailedNumbers().contains(230)) {
  }
  ASSERT_TRUE(run.FailedNumbers().contains(230));
  run.Block({230});
  p = run.Progress();
  EXPECT_EQ(p.state, RunState::Blocked);
  EXPECT_FALSE(run.Running());
  EXPECT_EQ(p.resume, 230);
  EXPECT_FALSE(run.FailedNumbers().contains(230));
  const std::size_t before = worked.size();
  while (pool.RunNext()) {
  }
  EXPECT_EQ(worked.size(), before);

  // A run over the list has no resume point: what a block, or a stop after a
  // redo, leaves unread stays in the list.
  for (const bool block : {true, false}) {
    run.SetFailedNumbers({300, 301, 302});
    unreadable = {300, 301};
    run.StartList({300, 301, 302});
    ASSERT_TRUE(pool.RunNext() && pool.RunNext());  // both given up
    block ? run.Block({300, 301}) : (run.Redo({300, 301}), run.Stop());
    while (pool.RunNext()) {
    }
    EXPECT_EQ(run.FailedNumbers().size(), 3u) << block;
  }
}

// A number to be tried again waits in the queue while its chain takes the
// next number, at one request at a time: nothing waits under the run lock.
// The run ends only when the waiting numbers are done, also past the range
// end; a stop ends the wait and leaves them below the resume point.
TEST(RunRetryQueue, LaterTriesWaitOutsideTheChainAndTheLock) {
  for (const bool stop : {false, true}) {
    WorkerPool pool;
    RunLock lock;
    std::mutex mutex;
    std::vector<std::pair<ShopNumber, int>> tries;
    CollectionRun run(pool, lock, [&](ShopNumber n, int attempt) -> CollectionRun::Step {
      std::lock_guard<std::mutex> guard(mutex);
      tries.emplace_back(n, attempt);
      if ((n == 105 || n == 159) && attempt < 3)  // the last number too
        return CollectionRun::Step::Again(CollectionRun::Clock::now() + (stop ? 20s : 100ms));
      return CollectionRun::PageRest([] { return PageOutcome::Other; });
    });
    run.SetLastNumber(159);
    const auto began = std::chrono::steady_clock::now();
    run.Start(100);
    while (stop && run.Progress().done < 58) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(run.Progress().state, RunState::Running);  // not over while numbers wait
    if (stop) run.Stop();
    ASSERT_TRUE(run.WaitUntilIdle(30s));
    EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
    const RunProgress p = run.Progress();
    EXPECT_EQ(p.state, stop ? RunState::Stopped : RunState::Finished);
    EXPECT_EQ(p.done, stop ? 58 : 60);
    EXPECT_EQ(p.resume, stop ? std::optional<std::int64_t>(105) : std::nullopt);
    std::lock_guard<std::mutex> guard(mutex);
    const auto at = [&](int attempt) {
      return std::find(tries.begin(), tries.end(), std::pair<ShopNumber, int>{105, attempt});
    };
    EXPECT_EQ(at(3) == tries.end(), stop);
    // While 105 waited, the numbers after it went on.
    EXPECT_TRUE(stop || at(2) - at(1) > 10);
  }
}

// A drought stops the run at the stretch's first number; the longest stretch,
// saved with that resume point, lets a start from there go over the same
// stretch up to the given multiple of it, and not one number further.
TEST(DroughtRun, TheSavedStretchCarriesAResumeOverTheSameDrought) {
  WorkerPool pool;
  RunLock lock;
  CollectionRun run(pool, lock, [](ShopNumber n, int) -> CollectionRun::Step {
    return CollectionRun::PageRest(
        [n] { return n <= 10 ? PageOutcome::Listed : PageOutcome::Other; });
  });
  run.SetDroughtRules({30, 2, 0});
  run.SetLastNumber(200);
  run.Start(1);
  ASSERT_TRUE(run.WaitUntilIdle(30s));
  const SavedRun saved = SavedRunOf(run.Progress());
  ASSERT_EQ(run.Progress().state, RunState::Blocked);
  ASSERT_EQ(saved.resume, 11);
  // Pages come back out of order: the stretch is known from its first
  // number once the numbers below have come, by then often longer.
  EXPECT_GE(saved.noShop, 31);
  const SavedRun again = *ParseRunStateFile(RunStateFileText(saved));
  for (const std::int64_t beyond : {0, 1}) {
    SCOPED_TRACE(beyond);
    run.SetKnownNoShopStretch(again.noShop);
    run.SetLastNumber(*again.resume + 2 * again.noShop - 1 + beyond);
    run.Start(*again.resume);
    ASSERT_TRUE(run.WaitUntilIdle(30s));
    const RunProgress p = run.Progress();
    EXPECT_EQ(p.state, beyond == 0 ? RunState::Finished : RunState::Blocked);
  }
}

// Twenty requests at once: the fetch step runs outside the run lock, pages
// come back out of order, and the rest of each page's work goes one at a time.
class WideRunTest : public ::testing::Test {
 protected:
  WideRunTest()
      : run_(pool_, lock_, [this](ShopNumber n, int) -> CollectionRun::Step {
          // Slow and uneven: later numbers often come back first.
          std::this_thread::sleep_for(std::chrono::microseconds(300 * ((n * 7) % 11)));
          if (fetchHook) fetchHook(n);
          return CollectionRun::PageRest([this, n] {
            recorder_(n);
            return PageOutcome::Other;
          });
        }) {
    run_.Slots().SetCeiling(RequestSlots::kMostAtOnce);
    run_.SetDroughtRules(kNoDrought);
  }
  ~WideRunTest() override { EXPECT_TRUE(run_.WaitUntilIdle(30s)); }

  void ExpectEachOnce() {
    for (const auto& [n, count] : recorder_.Visits()) EXPECT_EQ(count, 1) << n;
    EXPECT_EQ(recorder_.MaxInside(), 1);
  }
  void ExpectAll(long long first, long long last) {
    const auto visits = recorder_.Visits();
    for (long long n = first; n <= last; ++n) EXPECT_EQ(visits.count(n), 1u) << n;
  }

  WorkerPool pool_;
  RunLock lock_;
  Recorder recorder_;
  std::function<void(ShopNumber)> fetchHook;
  CollectionRun run_;
};

enum class Change { Stop, RangeEnd, Restart };

class WideRunChangeTest : public WideRunTest, public ::testing::WithParamInterface<Change> {};

TEST_P(WideRunChangeTest, KeepsEveryNumberOnceAndTheResumePoint) {
  const Change change = GetParam();
  std::atomic<bool> acted{false};
  std::atomic<long long> handedOut{0};
  recorder_.hook = [&](ShopNumber n) {
    if (n < 300 || acted.exchange(true)) return;
    switch (change) {
      case Change::Stop:
        run_.Stop();
        break;
      case Change::RangeEnd:
        run_.SetLastNumber(250);
        break;
      case Change::Restart:
        run_.Stop();
        run_.SetLastNumber(5400);
        run_.Start(5000);
        break;
    }
    // Whatever is handed out from here on ends at admission.
    handedOut = run_.NextNumber();
  };
  run_.SetLastNumber(100000);
  run_.Start(100);
  ASSERT_TRUE(run_.WaitUntilIdle(30s));
  ExpectEachOnce();
  const auto visits = recorder_.Visits();
  const RunProgress p = run_.Progress();
  if (change == Change::Restart) {
    EXPECT_EQ(p.state, RunState::Finished);
    ExpectAll(5000, 5400);
    EXPECT_EQ(p.done, 401);
    EXPECT_EQ(p.resume, std::nullopt);
    return;
  }
  // After the change only numbers handed out before it were still worked.
  EXPECT_LT(visits.rbegin()->first, handedOut.load());
  EXPECT_EQ(p.done, static_cast<std::int64_t>(visits.size()));
  ExpectResumeSplits(p, visits);
  if (change == Change::Stop) {
    EXPECT_EQ(p.state, RunState::Stopped);
    EXPECT_TRUE(p.resume.has_value());
  } else {
    EXPECT_EQ(p.state, RunState::Finished);
    if (p.resume) {
      EXPECT_LE(*p.resume, 250);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Changes, WideRunChangeTest,
                         ::testing::Values(Change::Stop, Change::RangeEnd, Change::Restart),
                         [](const ::testing::TestParamInfo<Change>& info) {
                           return info.param == Change::Stop       ? "Stop"
                                  : info.param == Change::RangeEnd ? "RangeEnd"
                                                                   : "Restart";
                         });

// While one slow page is out, the pages after it finish; the resume point is
// the slow one's number until its work is done.
TEST_F(WideRunTest, ResumePointIsTheLowestUnfinishedNumber) {
  std::mutex mutex;
  std::condition_variable wake;
  bool release = false;
  fetchHook = [&](ShopNumber n) {
    if (n != 105) return;
    std::unique_lock<std::mutex> guard(mutex);
    wake.wait(guard, [&] { return release; });
  };
  run_.SetLastNumber(1000);
  run_.Start(100);
  for (int i = 0; i < 3000; ++i) {
    const auto visits = recorder_.Visits();
    if (visits.size() >= 100 && visits.count(104) == 1) break;
    std::this_thread::sleep_for(1ms);
  }
  RunProgress p = run_.Progress();
  EXPECT_GE(p.done, 100);
  EXPECT_EQ(p.resume, 105);
  {
    std::lock_guard<std::mutex> guard(mutex);
    release = true;
  }
  wake.notify_all();
  ASSERT_TRUE(run_.WaitUntilIdle(30s));
  ExpectEachOnce();
  ExpectAll(100, 1000);
  p = run_.Progress();
  EXPECT_EQ(p.done, 901);
  EXPECT_EQ(p.resume, std::nullopt);
}

}  // namespace
}  // namespace dt
