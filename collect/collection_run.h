// A collection run walks a range of shop numbers with 20 chains of detached
// task threads; the run lock lets one page work go at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "collect/worker_pool.h"

namespace dt {

using ShopNumber = std::int32_t;

class CollectionRun {
 public:
  static constexpr int kBatchSize = 20;

  // The work for one admitted shop number; it runs while the run lock is held.
  using PageWork = std::function<void(ShopNumber)>;

  CollectionRun(WorkerPool& pool, RunLock& lock, PageWork work);
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

  // The run flag goes down, also after the range end lowered it; nothing is
  // waited for.
  void Stop();

  // --- task threads ---

  // One shop task: admission, run lock, page work, unlock, successor claim.
  void RunShopTask(std::int64_t number);

  // Admission check; a number above the last number ends the run.
  bool Admit(std::int64_t number);

  // Takes the next unclaimed number and starts its task, unless that number
  // lies past the last one. Each number goes out once; the counter never wraps.
  void ClaimNextNumber();

  // --- observation ---
  std::int64_t NextNumber() const;
  int ActiveTasks() const { return active_.load(); }
  // Waits until no posted task is alive any more (tests, benchmarks).
  bool WaitUntilIdle(std::chrono::milliseconds timeout);

 private:
  enum class Flag { Idle, Running, EndedByRange };
  void Post(std::int64_t number);
  void TaskEnded();

  WorkerPool& pool_;
  RunLock& lock_;
  PageWork work_;

  std::atomic<int> last_{0};

  // Flag, next number and the range-end mark change together under state_,
  // a lock held only for a few comparisons.
  mutable std::mutex state_;
  Flag flag_ = Flag::Idle;
  std::int64_t next_ = 0;
  // The first number of the latest start: after the range end lowered the
  // flag, the in-range tasks of that start's first batch are still admitted,
  // when the range is shorter than a batch.
  std::int64_t first_ = 0;

  std::atomic<int> active_{0};
  std::mutex idleMutex_;
  std::condition_variable idle_;
};

}  // namespace dt
