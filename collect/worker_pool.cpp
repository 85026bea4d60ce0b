#include "collect/worker_pool.h"

#include <system_error>
#include <thread>

namespace dt {

bool WorkerPool::StartThread(std::function<void()> entry) {
  try {
    std::thread(std::move(entry)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

RunLock& WorkerPool::CreateLock() {
  // Deliberately never freed: detached tasks may still wait on it while the
  // process ends.
  return *new RunLock();
}

}  // namespace dt
