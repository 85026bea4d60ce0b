// A collection run walks a range of shop numbers with 20 chains of detached
// task threads; the run lock lets one page work go at a time. A number whose
// page is to be tried again waits in the run's queue, not in its chain: the
// chain takes the next number meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "collect/drought_watch.h"
#include "collect/request_slots.h"
#include "collect/retry_queue.h"
#include "collect/worker_pool.h"

namespace dt {

using ShopNumber = std::int32_t;

// What one number's page work came to, for the run's counters.
enum class PageOutcome {
  Other,     // a page came back without a listed or filtered shop
  Listed,    // a new row
  Filtered,  // a filter note
  Failed,    // no page could be read after every try: a failed number
  NotDone,   // given up before a page was read (a stop, a blocked run): still to do
};

// Where the latest run stands.
//   Idle      no run since the program started.
//   Running   the flag is up and tasks of the run are alive.
//   Stopped   the user's click lowered the flag before the run's tasks ended;
//             admitted tasks still finish their pages.
//   Ended     a task numbered past the last number lowered the flag (the
//             caption went back to "开始采集"), and tasks of the run that were
//             admitted before are still working.
//   Finished  every task of the run has ended without a stop click: the chains
//             ran past the last number (whether or not one of them lowered the
//             flag on the way). An Ended run becomes Finished when its last
//             task ends.
//   Blocked   the marketplace refused every try for too long and the run
//             stopped itself; going on from the resume point skips nothing.
//             A follow run is not stopped by a block: it waits and tries
//             again by itself, and counts as Blocked meanwhile.
//   Following a follow run waiting between two polls.
enum class RunState { Idle, Running, Stopped, Finished, Ended, Blocked, Following };
std::string_view RunStateName(RunState state);  // "idle", "running", ...

// Numbers from first to last, both counted; 0 for an empty range.
constexpr std::int64_t RangeSize(std::int64_t first, std::int64_t last) {
  return last >= first ? last - first + 1 : 0;
}

// Where a run's numbers come from: a range, the failed list, or following
// the newest shops.
enum class RunMode { Range, List, Follow };
std::string_view RunModeName(RunMode mode);  // "range", "list", "follow"

// The latest run's figures, taken at one moment.
struct RunProgress {
  RunState state = RunState::Idle;
  bool drought = false;  // Blocked by numbers without a shop, not by the marketplace
  RunMode mode = RunMode::Range;
  std::int64_t first = 0;  // the first number of the latest start
  std::int64_t last = 0;   // the last number as it is now
  std::int64_t next = 0;   // the lowest number not yet handed out
  std::int64_t done = 0;   // numbers of the run whose page work has finished
  std::int64_t shops = 0;
  std::int64_t filtered = 0;
  std::int64_t failed = 0;      // numbers of this run given up
  std::int64_t retries = 0;     // tries beyond each number's first
  std::int64_t failedKept = 0;  // numbers in the failed list, over runs
  // Failed numbers since the last page that arrived, over runs.
  std::int64_t failedInARow = 0;
  // A run over the failed list: how many numbers it was given (0 for a range).
  std::int64_t listSize = 0;
  // The marketplace as the collector sees it (the run itself does not know).
  std::int64_t paceMilliseconds = 0;  // least interval between requests now
  bool marketDown = false;
  // Requests at once: the user's ceiling, those out now, and the limit the
  // marketplace's answers have left.
  int requestsAtOnce = 1;
  int inFlight = 0;
  int requestLimit = 1;
  // The lowest number of the run whose page work has not finished (numbers
  // waiting for a later try included), while the range still holds one, or
  // the first number of a drought that stopped the run; redoing from here
  // skips nothing.
  std::optional<std::int64_t> resume;
  // Numbers waiting for a later try now.
  std::int64_t waiting = 0;
  // The longest stretch of numbers read in a row without a shop, this run's
  // and the one the run was started with.
  std::int64_t longestNoShop = 0;
  // From the start to now, or to the moment the run ended or was stopped.
  std::chrono::steady_clock::duration elapsed{};
  // A follow run: the highest shop number seen, the next poll (or the next
  // try after a block; seconds since the epoch) while it waits, and the
  // accepted shops it listed since it started.
  std::int64_t frontier = 0;
  std::optional<std::int64_t> nextPoll;
  std::int64_t newShops = 0;

  std::int64_t RangeSize() const { return listSize > 0 ? listSize : dt::RangeSize(first, last); }
};

// Numbers for a run from elsewhere than a range. Asked under the run's
// state lock (never the run lock): it must not wait for anything.
class NumberSource {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~NumberSource() = default;
  // The next number to read, or nullopt: ask again when a page is counted
  // or at WakeAt().
  virtual std::optional<std::int64_t> Next() = 0;
  virtual Clock::time_point WakeAt() const = 0;
  // A number's page work ended so (NotDone: it is to be read again). False
  // for a page the source only looked at again (a check of a known shop):
  // it does not count among the run's pages.
  virtual bool Counted(std::int64_t number, PageOutcome outcome) = 0;
  // Called with no lock held, on the task thread that just counted a page.
  virtual void AfterCount() {}
};

class CollectionRun {
 public:
  static constexpr int kBatchSize = 20;

  // The page work of one admitted number, in two steps: the first (the
  // fetch, one try of it) hands back either the rest of the work, which runs
  // under the run lock, or the moment the number may be tried again. With one
  // request at a time the first step runs under the run lock as well; with
  // more it runs outside it. An empty rest counts as PageOutcome::Other.
  using Clock = std::chrono::steady_clock;
  using PageRest = std::function<PageOutcome()>;
  struct Step {
    Step() = default;
    Step(PageRest r) : rest(std::move(r)) {}  // NOLINT: a page's rest is a step
    static Step Again(Clock::time_point at) {
      Step step;
      step.again = at;
      return step;
    }
    PageRest rest;
    std::optional<Clock::time_point> again;  // try attempt + 1 not before this
  };
  // attempt: the number's try, from 1.
  using Work = std::function<Step(ShopNumber number, int attempt)>;

  // Work of one step only, for tests and benchmarks: each number is done at
  // its first try, as the given function says (Other for Plain).
  static Work Plain(std::function<void(ShopNumber)> work);
  static Work Counting(std::function<PageOutcome(ShopNumber)> work);

  CollectionRun(WorkerPool& pool, RunLock& lock, Work work);
  CollectionRun(const CollectionRun&) = delete;
  CollectionRun& operator=(const CollectionRun&) = delete;

  // --- window thread; none of these waits for the run lock ---

  // The value of the last-number box, kept current on every edit, so tasks
  // see a change at once.
  void SetLastNumber(int last) { last_.store(last); }
  int LastNumber() const { return last_.load(); }

  // The run flag: true while the start button reads "停  止".
  bool Running() const;

  // The start/stop click as the engine's flag sees it: Start when idle, else
  // Stop. Returns the new value of the run flag. The window decides by the
  // caption it shows and calls Start or Stop itself.
  bool Click(int first);

  // The run flag goes up and tasks for first .. first+19 are posted.
  void Start(int first);

  // A run over the given numbers (the failed list) instead of a range; the
  // last-number box does not limit it. Nothing happens without numbers.
  void StartList(std::vector<std::int64_t> numbers);

  // A run whose numbers come from the given source (a follow run) instead of
  // a range; the last-number box does not limit it, the drought rule is off,
  // and it goes on until it is stopped.
  void StartSource(std::shared_ptr<NumberSource> source);

  // The run flag goes down, also after the range end lowered it; nothing is
  // waited for.
  void Stop();

  // --- the failed list: numbers whose page could not be read, over runs ---

  // The list an earlier start kept (window thread, before any run).
  void SetFailedNumbers(std::set<std::int64_t> numbers);
  std::set<std::int64_t> FailedNumbers() const;
  // Grows by one with every change of the list.
  std::uint64_t FailedNumbersVersion() const;

  // --- task threads ---

  // Admission check; a number above the last number ends the run.
  bool Admit(std::int64_t number);

  // Takes the next unclaimed number and starts its task, unless that number
  // lies past the last one. Each number goes out once; the counter never wraps.
  void ClaimNextNumber();

  // The marketplace refused the run: the flag goes down as on a stop, the run
  // counts as blocked, and the given numbers, given up while it refused, are
  // to be done again (out of the failed list, back below the resume point).
  void Block(const std::vector<std::int64_t>& givenUp);

  // Numbers of this run given up while the marketplace turned out to be
  // down: they are handed out again before any new number.
  void Redo(const std::vector<std::int64_t>& numbers);

  void CountRetry();

  // A shop's row went to a sink that keeps it later (a batch written to
  // disk): until RowsKept names the number, it stays below the resume point
  // and in the failed list, so a kill before the write loses no row behind a
  // saved resume point. Called before the row is handed to the sink.
  void HoldUntilKept(std::int64_t number);
  // The sink's word, on its own thread: these numbers' rows are kept.
  void RowsKept(const std::vector<std::int64_t>& numbers);

  // The drought rule of the runs started from now on (window thread).
  void SetDroughtRules(DroughtRules rules);
  // The longest stretch without a shop known on the way to the next Start's
  // first number (kept with a resume point); the next Start takes it once.
  void SetKnownNoShopStretch(std::int64_t length);
  // Called, outside every lock, on the task thread that found a drought
  // (numbers read in a row without a shop, far more than the run has seen):
  // the run is blocked by then with its resume point at the first of them.
  void OnDrought(std::function<void(std::int64_t length)> handler);

  // A pause for the run's pace: false, at once, when the run is stopped or
  // blocked, or was started again after mark was taken.
  std::uint64_t StopMark() const { return stopMark_.load(); }
  bool PauseUntil(std::chrono::steady_clock::time_point until, std::uint64_t mark);

  // --- observation ---
  // Takes only the short state lock, never the run lock.
  RunProgress Progress() const;
  std::int64_t NextNumber() const;
  int ActiveTasks() const { return active_.load(); }

  // The requests at once: the user's ceiling and the limit that adapts. The
  // work takes a slot around each request it sends.
  RequestSlots& Slots() { return slots_; }
  const RequestSlots& Slots() const { return slots_; }
  // Waits until no posted task is alive any more (tests, benchmarks).
  bool WaitUntilIdle(std::chrono::milliseconds timeout);

 private:
  enum class Flag { Idle, Running, EndedByRange };

  // One shop task: admission, run lock, page work, unlock, successor claim.
  // generation: the start the number was handed out by; attempt: its try.
  void RunShopTask(std::int64_t number, std::uint64_t generation, int attempt);
  // The page work of an admitted number: the first step, then the rest under
  // the run lock; nullopt with again set when it is to be tried later.
  PageOutcome WorkPage(ShopNumber number, int attempt, std::optional<Clock::time_point>& again,
                       std::int64_t& read);
  Step FirstStep(ShopNumber number, int attempt);
  bool AdmitFor(std::int64_t number, std::uint64_t generation);
  // Hands out number under state_: it is pending and its task alive.
  void HandOutLocked(std::int64_t number);
  // A page whose work has just finished, and the start its number came from.
  struct FinishedPage {
    std::int64_t number;
    std::uint64_t generation;
    PageOutcome outcome;
    std::int64_t read;  // the order its page work ran in, under the run lock
  };
  // ClaimNextNumber, counting the claiming task's page (when given) or
  // queueing its number for a later try (when given) in the same turn of the
  // state lock. With nothing else to do while numbers wait, the chain waits
  // for the earliest of them, holding no lock.
  struct Retrying {
    RetryQueue::Entry entry;
    std::uint64_t generation;
  };
  void ClaimSuccessor(const FinishedPage* page, const Retrying* retry);
  // Counts a page; when it showed a drought, which blocks the run, where to
  // go on from.
  std::optional<std::int64_t> CountPageLocked(const FinishedPage& page);
  void HaltLocked();
  // A number of this run counted as failed becomes pending again.
  void UndoFailureLocked(std::int64_t number);
  void StartLocked(std::int64_t first);
  void WakePauses();
  // Waits until `until`, a page counted for the source, or a stop; false on a stop.
  bool WaitForSource(Clock::time_point until, std::uint64_t mark, std::uint64_t turn);
  void Post(std::int64_t number, std::uint64_t generation, int attempt = 1);
  void TaskEnded(std::uint64_t generation);

  WorkerPool& pool_;
  RunLock& lock_;
  Work work_;
  RequestSlots slots_;

  std::atomic<int> last_{0};

  // Flag, next number, the range-end mark, the counters, the pending numbers
  // and the failed list change together under state_, a lock never held
  // while waiting for anything.
  mutable std::mutex state_;
  Flag flag_ = Flag::Idle;
  std::int64_t next_ = 0;
  // The first number of the latest start: after the range end lowered the
  // flag, the in-range tasks of that start's first batch are still admitted,
  // when the range is shorter than a batch.
  std::int64_t first_ = 0;

  // The figures of the latest start, also under state_. A task counts only
  // for the start that handed its number out, so the old tasks of a restart
  // change nothing in the new run's figures.
  std::uint64_t generation_ = 0;  // 0: never started
  bool stoppedByUser_ = false;
  int runAlive_ = 0;  // tasks of this generation not yet ended
  // Numbers handed out whose page work has not finished. A task that ends at
  // admission (a stop, the range end) stays here: its number is still to be done.
  std::set<std::int64_t> pending_;
  std::int64_t done_ = 0, shops_ = 0, filtered_ = 0, failed_ = 0, retries_ = 0;
  std::int64_t failedInARow_ = 0;
  bool blocked_ = false;
  // Numbers whose found rows the sink has not kept yet, once per row; the
  // resume point stays at or below them.
  std::multiset<std::int64_t> unkept_;
  // Numbers waiting for a later try; they stay pending meanwhile.
  RetryQueue retry_;
  DroughtRules droughtRules_;
  DroughtWatch drought_;
  std::int64_t knownNoShop_ = 0;
  // Set by a drought: the resume point lies at or below it.
  std::optional<std::int64_t> resumeFloor_;
  std::function<void(std::int64_t)> onDrought_;
  // Numbers handed out before next_ is: redos, or a list run's numbers.
  std::deque<std::int64_t> queue_;
  bool listRun_ = false;
  std::int64_t listSize_ = 0;
  // A follow run's source of numbers; each page it counts moves sourceTurn_
  // on, which wakes the chains waiting for it.
  std::shared_ptr<NumberSource> source_;
  std::atomic<std::uint64_t> sourceTurn_{0};
  // This run's failed numbers (for a redo or a block to take back).
  std::set<std::int64_t> runFailed_;
  std::set<std::int64_t> failedList_;
  std::uint64_t failedListVersion_ = 0;
  Clock::time_point startedAt_{};
  std::optional<Clock::time_point> endedAt_;

  std::atomic<std::uint64_t> stopMark_{0};
  std::atomic<bool> halted_{false};  // a stop or a block since the latest start
  std::mutex pauseMutex_;
  std::condition_variable pauseWake_;

  std::atomic<std::int64_t> reads_{0};  // page works so far, counted under the run lock
  std::atomic<int> active_{0};
  std::mutex idleMutex_;
  std::condition_variable idle_;
};

}  // namespace dt
