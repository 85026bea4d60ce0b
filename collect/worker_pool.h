// The collection engine's thread service: one detached thread per posted task,
// and the one lock under which every shop task does its page work.
#pragma once

#include <functional>
#include <mutex>

namespace dt {

// Not recursive: no thread ever enters it twice.
using RunLock = std::mutex;

class WorkerPool {
 public:
  virtual ~WorkerPool() = default;

  // Runs entry on a new detached thread that nothing waits for. False when the
  // thread could not be created (nothing is reported; the caller's chain ends).
  virtual bool StartThread(std::function<void()> entry);

  // A lock in storage that is never destroyed, so that task threads still
  // waiting on it at process end never touch a dead object.
  static RunLock& CreateLock();
  static void EnterLock(RunLock& lock) { lock.lock(); }
  static void LeaveLock(RunLock& lock) { lock.unlock(); }
};

}  // namespace dt
