// A collection run: 20 chains of detached task threads walking a range of shop
// numbers, one page work at a time under the run lock.
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

  // The start/stop click. When idle: the run flag goes up and tasks for
  // first .. first+19 are posted. When running: the flag goes down; nothing is
  // waited for. Returns the new value of the run flag.
  bool Click(int first);

  // --- task threads ---

  // One shop task: admission, run lock, page work, unlock, successor claim.
  void RunShopTask(std::int64_t number);

  // Admission check; a number above the last number ends the run.
  bool Admit(std::int64_t number);

  // Starts a task for the lowest number not yet handed out, while it does not
  // pass the last number. Never hands a number out twice, never overflows.
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
  // When the range end lowered the flag: numbers below this mark had been
  // handed out while the run was going, so those inside the range still get
  // their page work. Later successors are refused.
  std::int64_t endMark_ = 0;

  std::atomic<int> active_{0};
  std::mutex idleMutex_;
  std::condition_variable idle_;
};

}  // namespace dt
