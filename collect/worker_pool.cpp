#include "collect/worker_pool.h"

#include <thread>

namespace dt {

bool WorkerPool::StartThread(std::function<void()> entry) {
  try {
    std::thread(std::move(entry)).detach();
    return true;
  } catch (...) {
    // No thread (std::system_error) or no memory for its state (std::bad_alloc).
    return false;
  }
}

RunLock& WorkerPool::CreateLock() {
  // Deliberately never freed: detached tasks may still wait on it while the
  // process ends.
  return *new RunLock();
}

}  // namespace dt
