#include "collect/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace dt {
namespace {

// The core task threads go to, -1 for none.
std::atomic<int> gTaskCore{-1};

// Moves the calling task thread to the tasks' core unless it is there.
void FollowTaskCore() {
  thread_local int pinnedTo = -1;
  const int core = gTaskCore.load(std::memory_order_relaxed);
  if (core < 0 || core == pinnedTo) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(static_cast<unsigned>(core), &set);
  // A refusal (the core went away, a cpuset changed) leaves the thread where
  // the scheduler puts it; only speed depends on it.
  if (::pthread_setaffinity_np(::pthread_self(), sizeof set, &set) == 0) pinnedTo = core;
}

// Where a parked thread waits for its next task. Never freed: the mailbox of
// an ended thread goes to the next new thread, so a late notify never meets a
// destroyed condition variable.
struct Mailbox {
  std::condition_variable wake;
  std::function<void()> task;  // set and taken under the lot's mutex
};

// Threads whose task has returned wait here for another one instead of ending,
// which spares a thread creation and an exit per task. Process-wide and never
// destroyed: parked threads outlive every WorkerPool object and run on until
// the process ends.
class ParkingLot {
 public:
  // Gives entry to a parked thread and wakes it; false, with entry untouched,
  // when none is parked.
  bool HandOver(std::function<void()>& entry) {
    Mailbox* box = nullptr;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (parked_.empty()) return false;
      // The thread parked last: its stack and caches are the warmest.
      box = parked_.back();
      parked_.pop_back();
      box->task = std::move(entry);
    }
    box->wake.notify_one();
    return true;
  }

  // The rest of a thread's life after its first task: park, run what is
  // handed over, park again; end when the lot is full or nothing came.
  void Serve(Mailbox* box) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (parked_.size() < static_cast<std::size_t>(WorkerPool::kParkedThreadsMax)) {
      parked_.push_back(box);
      const bool handed = box->wake.wait_for(lock, std::chrono::seconds(WorkerPool::kParkedSeconds),
                                             [box] { return static_cast<bool>(box->task); });
      if (!handed) {
        // Still listed: a hand-over takes the box off the list together with
        // setting its task.
        parked_.erase(std::find(parked_.begin(), parked_.end(), box));
        break;
      }
      std::function<void()> task = std::move(box->task);
      box->task = nullptr;
      lock.unlock();
      FollowTaskCore();
      task();
      task = nullptr;  // the task's captures go before the thread parks
      lock.lock();
    }
    spare_.push_back(box);
  }

  // The mailbox of a thread that ends, or that could not be made.
  void Retire(Mailbox* box) {
    std::lock_guard<std::mutex> guard(mutex_);
    spare_.push_back(box);
  }

  Mailbox* NewMailbox() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (spare_.empty()) return new Mailbox;
    Mailbox* box = spare_.back();
    spare_.pop_back();
    return box;
  }

  int Parked() {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<int>(parked_.size());
  }

 private:
  std::mutex mutex_;
  std::vector<Mailbox*> parked_;
  std::vector<Mailbox*> spare_;
};

ParkingLot& Lot() {
  static ParkingLot* lot = new ParkingLot;
  return *lot;
}

struct FirstTask {
  std::function<void()> entry;
  Mailbox* box;
};

void ThreadBody(FirstTask* start) noexcept {
  std::unique_ptr<FirstTask> first(start);
  FollowTaskCore();
  first->entry();
  first->entry = nullptr;
  Mailbox* box = first->box;
  first.reset();
  Lot().Serve(box);
}

// A new detached thread for entry.
bool StartNewThread(std::function<void()>& entry) {
  auto start = std::make_unique<FirstTask>(FirstTask{std::move(entry), Lot().NewMailbox()});
  try {
    std::thread(ThreadBody, start.get()).detach();
  } catch (...) {
    Lot().Retire(start->box);
    throw;
  }
  start.release();  // the thread owns it now
  return true;
}

}  // namespace

bool WorkerPool::StartThread(std::function<void()> entry) {
  try {
    return Lot().HandOver(entry) || StartNewThread(entry);
  } catch (...) {
    // No thread (std::system_error) or no memory for its state (std::bad_alloc).
    return false;
  }
}

int WorkerPool::ParkedThreads() {
  return Lot().Parked();
}

void WorkerPool::KeepTasksOnOneCore() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  // The cores of the main thread: those the process was started with.
  if (::sched_getaffinity(::getpid(), sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) {
    return;
  }
  const int here = ::sched_getcpu();
  for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
    if (cpu != here && CPU_ISSET(static_cast<unsigned>(cpu), &allowed)) {
      gTaskCore.store(cpu, std::memory_order_relaxed);
      return;
    }
  }
}

RunLock& WorkerPool::CreateLock() {
  // Deliberately never freed: detached tasks may still wait on it while the
  // process ends.
  return *new RunLock();
}

}  // namespace dt
