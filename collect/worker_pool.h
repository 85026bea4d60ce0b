// The collection engine's thread service: every posted task runs on a thread
// of its own that nothing waits for, and the one lock under which every shop
// task does its page work.
#pragma once

#include <functional>
#include <mutex>

namespace dt {

// Not recursive: no thread ever enters it twice.
using RunLock = std::mutex;

class WorkerPool {
 public:
  // A thread whose task has returned waits this long for another task before
  // it ends, and at most this many threads wait so.
  static constexpr int kParkedThreadsMax = 4;
  static constexpr int kParkedSeconds = 5;

  virtual ~WorkerPool() = default;

  // Runs entry at once on a thread that runs nothing else meanwhile and that
  // nothing joins or waits for: a thread whose earlier task has returned and
  // that is parked, else a new detached thread. The caller never waits for a
  // task. False when no thread could be had (nothing is reported; the
  // caller's chain ends).
  virtual bool StartThread(std::function<void()> entry);

  // Threads parked now, waiting for a task (tests).
  static int ParkedThreads();

  // Puts every task started from now on onto one core, picked away from the
  // caller's when there is a choice; called by the window thread as a run
  // starts. Only one task works at a time, so the tasks never need a second
  // core, and on one core handing the run lock to the next task is a switch
  // on a running core instead of waking an idle one: against a fast
  // marketplace that was about a tenth of the time per page. When the
  // process may use only one core, nothing is pinned.
  static void KeepTasksOnOneCore();

  // A lock in storage that is never destroyed, so that task threads still
  // waiting on it at process end never touch a dead object.
  static RunLock& CreateLock();
  static void EnterLock(RunLock& lock) { lock.lock(); }
  static void LeaveLock(RunLock& lock) { lock.unlock(); }
};

}  // namespace dt
