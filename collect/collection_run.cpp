#include "collect/collection_run.h"

#include <utility>

namespace dt {

std::string_view RunStateName(RunState state) {
  switch (state) {
    case RunState::Idle:
      return "idle";
    case RunState::Running:
      return "running";
    case RunState::Stopped:
      return "stopped";
    case RunState::Finished:
      return "finished";
    case RunState::Ended:
      return "ended";
  }
  return "idle";
}

CollectionRun::CollectionRun(WorkerPool& pool, RunLock& lock, PageWork work)
    : pool_(pool), lock_(lock) {
  if (work) {
    work_ = [work = std::move(work)](ShopNumber number) {
      work(number);
      return PageOutcome::Other;
    };
  }
}

CollectionRun::CollectionRun(WorkerPool& pool, RunLock& lock, CountedPageWork work, Counted)
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
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> guard(state_);
    flag_ = Flag::Running;
    first_ = first;
    next_ = static_cast<std::int64_t>(first) + kBatchSize;
    // A new run: fresh figures; tasks of the previous one count for nothing.
    generation = ++generation_;
    stoppedByUser_ = false;
    runAlive_ = 0;
    pending_.clear();
    done_ = shops_ = filtered_ = failed_ = 0;
    startedAt_ = Clock::now();
    endedAt_.reset();
    for (int i = 0; i < kBatchSize; ++i) HandOutLocked(static_cast<std::int64_t>(first) + i);
  }
  WorkerPool::KeepTasksOnOneCore();
  // All 20 are posted whatever the range; those beyond it end at admission.
  for (int i = 0; i < kBatchSize; ++i) Post(static_cast<std::int64_t>(first) + i, generation);
}

void CollectionRun::Stop() {
  // Tasks already admitted finish; nothing is waited for.
  std::lock_guard<std::mutex> guard(state_);
  flag_ = Flag::Idle;
  // A run whose tasks have all ended is over already: the click only lowers
  // the flag and the run stays finished.
  if (generation_ != 0 && runAlive_ > 0 && !stoppedByUser_) {
    stoppedByUser_ = true;
    endedAt_ = Clock::now();
  }
}

bool CollectionRun::Admit(std::int64_t number) {
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> guard(state_);
    generation = generation_;
  }
  return AdmitFor(number, generation);
}

bool CollectionRun::AdmitFor(std::int64_t number, std::uint64_t generation) {
  const std::int64_t last = last_.load();
  std::lock_guard<std::mutex> guard(state_);
  if (number > last) {
    if (flag_ == Flag::Running) flag_ = Flag::EndedByRange;
    // Past the range: nothing there is left to do.
    if (generation == generation_) pending_.erase(number);
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
  ClaimSuccessor(nullptr);
}

void CollectionRun::ClaimSuccessor(const FinishedPage* page) {
  const int last = last_.load();
  std::int64_t claimed;
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> guard(state_);
    if (page != nullptr) CountPageLocked(*page);
    if (next_ > last) return;  // this chain ends
    claimed = next_++;
    // The successor belongs to the run that is current now: after a restart,
    // an old task's successor takes its number from the new run.
    HandOutLocked(claimed);
    generation = generation_;
  }
  Post(claimed, generation);
}

void CollectionRun::HandOutLocked(std::int64_t number) {
  pending_.insert(number);
  ++runAlive_;
}

void CollectionRun::RunShopTask(std::int64_t number, std::uint64_t generation) {
  if (!AdmitFor(number, generation)) return;
  WorkerPool::EnterLock(lock_);
  PageOutcome outcome = PageOutcome::Other;
  try {
    if (work_) outcome = work_(static_cast<ShopNumber>(number));
  } catch (...) {
    // A page that cannot be handled (say, memory exhausted) costs this number
    // only; the lock is left and the chain goes on.
  }
  WorkerPool::LeaveLock(lock_);
  const FinishedPage page{number, generation, outcome};
  ClaimSuccessor(&page);
}

void CollectionRun::CountPageLocked(const FinishedPage& page) {
  // Whether the marketplace answers is not a matter of one run: any page that
  // arrives ends the streak.
  failedInARow_ = page.outcome == PageOutcome::Empty ? failedInARow_ + 1 : 0;
  if (page.generation != generation_) return;
  pending_.erase(page.number);
  ++done_;
  switch (page.outcome) {
    case PageOutcome::Listed:
      ++shops_;
      break;
    case PageOutcome::Filtered:
      ++filtered_;
      break;
    case PageOutcome::Empty:
      ++failed_;
      break;
    case PageOutcome::Other:
      break;
  }
}

RunProgress CollectionRun::Progress() const {
  RunProgress p;
  p.last = last_.load();
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> guard(state_);
  p.first = first_;
  p.next = next_;
  p.done = done_;
  p.shops = shops_;
  p.filtered = filtered_;
  p.failed = failed_;
  p.failedInARow = failedInARow_;
  if (generation_ == 0) {
    p.state = RunState::Idle;
    return p;
  }
  if (stoppedByUser_) {
    p.state = RunState::Stopped;
  } else if (runAlive_ == 0) {
    p.state = RunState::Finished;
  } else if (flag_ == Flag::EndedByRange) {
    p.state = RunState::Ended;
  } else {
    p.state = RunState::Running;
  }
  // Everything below the lowest pending number is done; with nothing
  // pending, everything below the next number is.
  const std::int64_t lowest = pending_.empty() ? next_ : *pending_.begin();
  if (lowest <= p.last) p.resume = lowest;
  p.elapsed = endedAt_.value_or(now) - startedAt_;
  return p;
}

std::int64_t CollectionRun::NextNumber() const {
  std::lock_guard<std::mutex> guard(state_);
  return next_;
}

void CollectionRun::Post(std::int64_t number, std::uint64_t generation) {
  active_.fetch_add(1);
  bool started = false;
  try {
    started = pool_.StartThread([this, number, generation] {
      RunShopTask(number, generation);
      TaskEnded(generation);
    });
  } catch (...) {
    // A thread that cannot be made, for whatever reason, costs this number
    // only. Posts run on the window thread and at the end of a detached task,
    // where an escaping exception would end the program.
  }
  // The number stays pending: its page was never fetched.
  if (!started) TaskEnded(generation);
}

void CollectionRun::TaskEnded(std::uint64_t generation) {
  {
    std::lock_guard<std::mutex> guard(state_);
    if (generation == generation_ && --runAlive_ == 0 && !endedAt_) endedAt_ = Clock::now();
  }
  std::lock_guard<std::mutex> guard(idleMutex_);
  if (active_.fetch_sub(1) == 1) idle_.notify_all();
}

bool CollectionRun::WaitUntilIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(idleMutex_);
  return idle_.wait_for(guard, timeout, [this] { return active_.load() == 0; });
}

}  // namespace dt
