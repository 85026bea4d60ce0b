#include "collect/collection_run.h"

#include <utility>

namespace dt {

CollectionRun::CollectionRun(WorkerPool& pool, RunLock& lock, PageWork work)
    : pool_(pool), lock_(lock), work_(std::move(work)) {}

bool CollectionRun::Running() const {
  std::lock_guard<std::mutex> guard(state_);
  return flag_ == Flag::Running;
}

bool CollectionRun::Click(int first) {
  if (Running()) {
    Stop();
    return false;
  }
  Start(first);
  return true;
}

void CollectionRun::Start(int first) {
  {
    std::lock_guard<std::mutex> guard(state_);
    flag_ = Flag::Running;
    first_ = first;
    next_ = static_cast<std::int64_t>(first) + kBatchSize;
  }
  // All 20 are posted whatever the range; those beyond it end at admission.
  for (int i = 0; i < kBatchSize; ++i) Post(static_cast<std::int64_t>(first) + i);
}

void CollectionRun::Stop() {
  // Tasks already admitted finish; nothing is waited for.
  std::lock_guard<std::mutex> guard(state_);
  flag_ = Flag::Idle;
}

bool CollectionRun::Admit(std::int64_t number) {
  const std::int64_t last = last_.load();
  std::lock_guard<std::mutex> guard(state_);
  if (number > last) {
    if (flag_ == Flag::Running) flag_ = Flag::EndedByRange;
    return false;
  }
  if (flag_ == Flag::Running) return true;
  // The range end lowered the flag, not the user: when the range is shorter
  // than a batch, the first batch's tasks inside it started together with
  // the one that found the end, and still belong to the run. Every other
  // task ends here.
  return flag_ == Flag::EndedByRange && last - first_ + 1 < kBatchSize && number >= first_ &&
         number < first_ + kBatchSize;
}

void CollectionRun::ClaimNextNumber() {
  const int last = last_.load();
  std::int64_t claimed;
  {
    std::lock_guard<std::mutex> guard(state_);
    if (next_ > last) return;  // this chain ends
    claimed = next_++;
  }
  Post(claimed);
}

void CollectionRun::RunShopTask(std::int64_t number) {
  if (!Admit(number)) return;
  WorkerPool::EnterLock(lock_);
  try {
    if (work_) work_(static_cast<ShopNumber>(number));
  } catch (...) {
    // A page that cannot be handled (say, memory exhausted) costs this number
    // only; the lock is left and the chain goes on.
  }
  WorkerPool::LeaveLock(lock_);
  ClaimNextNumber();
}

std::int64_t CollectionRun::NextNumber() const {
  std::lock_guard<std::mutex> guard(state_);
  return next_;
}

void CollectionRun::Post(std::int64_t number) {
  active_.fetch_add(1);
  bool started = false;
  try {
    started = pool_.StartThread([this, number] {
      RunShopTask(number);
      TaskEnded();
    });
  } catch (...) {
    // A thread that cannot be made, for whatever reason, costs this number
    // only. Posts run on the window thread and at the end of a detached task,
    // where an escaping exception would end the program.
  }
  if (!started) TaskEnded();
}

void CollectionRun::TaskEnded() {
  std::lock_guard<std::mutex> guard(idleMutex_);
  if (active_.fetch_sub(1) == 1) idle_.notify_all();
}

bool CollectionRun::WaitUntilIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(idleMutex_);
  return idle_.wait_for(guard, timeout, [this] { return active_.load() == 0; });
}

}  // namespace dt
