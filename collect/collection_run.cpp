#include "collect/collection_run.h"

#include <algorithm>
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
    case RunState::Blocked:
      return "blocked";
    case RunState::Following:
      return "following";
  }
  return "idle";
}

std::string_view RunModeName(RunMode mode) {
  switch (mode) {
    case RunMode::Range:
      return "range";
    case RunMode::List:
      return "list";
    case RunMode::Follow:
      return "follow";
  }
  return "range";
}

CollectionRun::Work CollectionRun::Plain(std::function<void(ShopNumber)> work) {
  return [work = std::move(work)](ShopNumber number, int) -> Step {
    return PageRest([&work, number] {
      work(number);
      return PageOutcome::Other;
    });
  };
}

CollectionRun::Work CollectionRun::Counting(std::function<PageOutcome(ShopNumber)> work) {
  return [work = std::move(work)](ShopNumber number, int) -> Step {
    return PageRest([&work, number] { return work(number); });
  };
}

CollectionRun::CollectionRun(WorkerPool& pool, RunLock& lock, Work work)
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

void CollectionRun::StartLocked(std::int64_t first) {
  flag_ = Flag::Running;
  first_ = first;
  // A new run: fresh figures; tasks of the previous one count for nothing.
  ++generation_;
  stoppedByUser_ = false;
  blocked_ = false;
  runAlive_ = 0;
  pending_.clear();
  // Rows of an earlier start still unkept belong to its resume point, which
  // the new start replaces.
  unkept_.clear();
  queue_.clear();
  retry_.Clear();
  resumeFloor_.reset();
  drought_ = DroughtWatch(droughtRules_);
  drought_.Reset(first, knownNoShop_, true);
  knownNoShop_ = 0;
  runFailed_.clear();
  listRun_ = false;
  listSize_ = 0;
  source_.reset();
  done_ = shops_ = filtered_ = failed_ = retries_ = 0;
  startedAt_ = Clock::now();
  endedAt_.reset();
}

void CollectionRun::Start(int first) {
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> guard(state_);
    StartLocked(first);
    next_ = static_cast<std::int64_t>(first) + kBatchSize;
    generation = generation_;
    for (int i = 0; i < kBatchSize; ++i) HandOutLocked(static_cast<std::int64_t>(first) + i);
  }
  halted_.store(false);
  WakePauses();
  WorkerPool::KeepTasksOnOneCore();
  // All 20 are posted whatever the range; those beyond it end at admission.
  for (int i = 0; i < kBatchSize; ++i) Post(static_cast<std::int64_t>(first) + i, generation);
}

void CollectionRun::StartList(std::vector<std::int64_t> numbers) {
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  if (numbers.empty()) return;
  std::vector<std::int64_t> batch;
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> guard(state_);
    StartLocked(numbers.front());
    listRun_ = true;
    drought_.Reset(numbers.front(), 0, false);  // the list's numbers are not in a row
    listSize_ = static_cast<std::int64_t>(numbers.size());
    next_ = numbers.back() + 1;
    queue_.assign(numbers.begin(), numbers.end());
    generation = generation_;
    while (!queue_.empty() && batch.size() < static_cast<std::size_t>(kBatchSize)) {
      batch.push_back(queue_.front());
      queue_.pop_front();
      HandOutLocked(batch.back());
    }
  }
  halted_.store(false);
  WakePauses();
  WorkerPool::KeepTasksOnOneCore();
  for (const std::int64_t number : batch) Post(number, generation);
}

void CollectionRun::StartSource(std::shared_ptr<NumberSource> source) {
  if (!source) return;
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> guard(state_);
    StartLocked(0);
    drought_.Reset(0, 0, false);  // past the top every number is without a shop
    source_ = std::move(source);
    generation = generation_;
  }
  halted_.store(false);
  WakePauses();
  WorkerPool::KeepTasksOnOneCore();
  // The chains start by claiming their numbers from the source.
  for (int i = 0; i < kBatchSize; ++i) {
    {
      std::lock_guard<std::mutex> guard(state_);
      if (generation != generation_) return;
      ++runAlive_;
    }
    active_.fetch_add(1);
    bool started = false;
    try {
      started = pool_.StartThread([this, generation] {
        ClaimSuccessor(nullptr, nullptr);
        TaskEnded(generation);
      });
    } catch (...) {
      // A chain fewer.
    }
    if (!started) TaskEnded(generation);
  }
}

bool CollectionRun::WaitForSource(Clock::time_point until, std::uint64_t mark, std::uint64_t turn) {
  std::unique_lock<std::mutex> guard(pauseMutex_);
  pauseWake_.wait_until(guard, until, [&] {
    return halted_.load() || stopMark_.load() != mark || sourceTurn_.load() != turn;
  });
  return !halted_.load() && stopMark_.load() == mark;
}

void CollectionRun::Stop() {
  // Tasks already admitted finish the page they work on; one that waits to
  // try again gives its number up and leaves it to do. Nothing is waited for.
  {
    std::lock_guard<std::mutex> guard(state_);
    flag_ = Flag::Idle;
    // A run whose tasks have all ended is over already: the click only lowers
    // the flag and the run stays finished.
    if (generation_ != 0 && runAlive_ > 0 && !stoppedByUser_ && !blocked_) {
      stoppedByUser_ = true;
      endedAt_ = Clock::now();
    }
  }
  halted_.store(true);
  WakePauses();
}

void CollectionRun::HaltLocked() {
  flag_ = Flag::Idle;
  if (generation_ != 0 && !stoppedByUser_ && !blocked_) {
    blocked_ = true;
    endedAt_ = Clock::now();
  }
}

void CollectionRun::Block(const std::vector<std::int64_t>& givenUp) {
  {
    std::lock_guard<std::mutex> guard(state_);
    HaltLocked();
    for (const std::int64_t number : givenUp) UndoFailureLocked(number);
  }
  halted_.store(true);
  WakePauses();
}

void CollectionRun::SetDroughtRules(DroughtRules rules) {
  std::lock_guard<std::mutex> guard(state_);
  droughtRules_ = rules;
}

void CollectionRun::SetKnownNoShopStretch(std::int64_t length) {
  std::lock_guard<std::mutex> guard(state_);
  knownNoShop_ = length;
}

void CollectionRun::OnDrought(std::function<void(std::int64_t)> handler) {
  std::lock_guard<std::mutex> guard(state_);
  onDrought_ = std::move(handler);
}

void CollectionRun::Redo(const std::vector<std::int64_t>& numbers) {
  std::lock_guard<std::mutex> guard(state_);
  for (const std::int64_t number : numbers) {
    if (!runFailed_.contains(number)) continue;
    UndoFailureLocked(number);
    queue_.push_back(number);
  }
}

void CollectionRun::UndoFailureLocked(std::int64_t number) {
  if (runFailed_.erase(number) == 0) return;
  --done_;
  --failed_;
  pending_.insert(number);
  // A run over the failed list has no resume point to keep the number below:
  // it stays in the list until its page is read.
  if (!listRun_ && failedList_.erase(number) > 0) ++failedListVersion_;
}

void CollectionRun::HoldUntilKept(std::int64_t number) {
  std::lock_guard<std::mutex> guard(state_);
  unkept_.insert(number);
}

void CollectionRun::RowsKept(const std::vector<std::int64_t>& numbers) {
  std::lock_guard<std::mutex> guard(state_);
  for (const std::int64_t number : numbers) {
    if (const auto at = unkept_.find(number); at != unkept_.end()) unkept_.erase(at);
    // The shop's row is kept: its number was read, whichever run read it.
    if (!unkept_.contains(number) && failedList_.erase(number) > 0) ++failedListVersion_;
  }
}

void CollectionRun::CountRetry() {
  std::lock_guard<std::mutex> guard(state_);
  ++retries_;
}

void CollectionRun::WakePauses() {
  stopMark_.fetch_add(1);
  // Taking the pause lock orders the mark's change before any waiter's next
  // look at it.
  std::lock_guard<std::mutex> guard(pauseMutex_);
  pauseWake_.notify_all();
}

bool CollectionRun::PauseUntil(Clock::time_point until, std::uint64_t mark) {
  // Most requests may go at once: no lock and no wait for them.
  if (until <= Clock::now()) return !halted_.load() && stopMark_.load() == mark;
  std::unique_lock<std::mutex> guard(pauseMutex_);
  return !pauseWake_.wait_until(guard, until,
                                [&] { return halted_.load() || stopMark_.load() != mark; });
}

void CollectionRun::SetFailedNumbers(std::set<std::int64_t> numbers) {
  std::lock_guard<std::mutex> guard(state_);
  failedList_ = std::move(numbers);
  ++failedListVersion_;
}

std::set<std::int64_t> CollectionRun::FailedNumbers() const {
  std::lock_guard<std::mutex> guard(state_);
  return failedList_;
}

std::uint64_t CollectionRun::FailedNumbersVersion() const {
  std::lock_guard<std::mutex> guard(state_);
  return failedListVersion_;
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
  // The failed list's numbers lie wherever the ranges of earlier runs did.
  if ((listRun_ || source_) && generation == generation_) return flag_ == Flag::Running;
  if (number > last) {
    if (flag_ == Flag::Running) flag_ = Flag::EndedByRange;
    // The number stays pending: the box may read a low value for a moment on
    // the way to a higher one (typing "2000" reads "2" first), and a number
    // handed out is never left unread below the resume point. One past the
    // range's end for good lies above any resume point anyway.
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
  ClaimSuccessor(nullptr, nullptr);
}

void CollectionRun::ClaimSuccessor(const FinishedPage* page, const Retrying* retry) {
  const int last = last_.load();
  for (;;) {
    std::int64_t claimed = 0;
    int attempt = 1;
    std::uint64_t generation;
    std::optional<Clock::time_point> waitUntil;
    const std::uint64_t mark = stopMark_.load();
    std::shared_ptr<NumberSource> counted;  // the source a page was counted for
    std::uint64_t turn = 0;
    bool forSource = false;
    {
      std::unique_lock<std::mutex> guard(state_);
      std::optional<std::int64_t> drought;
      if (page != nullptr && source_ && page->generation == generation_) {
        counted = source_;
        if (!source_->Counted(page->number, page->outcome)) {
          pending_.erase(page->number);
          page = nullptr;
        }
      }
      if (page != nullptr) drought = CountPageLocked(*page);
      if (drought) {
        // A drought: the run stops here, its resume point at the first of it.
        HaltLocked();
        resumeFloor_ = drought;
        const std::function<void(std::int64_t)> handler = onDrought_;
        const std::int64_t length = drought_.Current();
        guard.unlock();
        halted_.store(true);
        WakePauses();
        if (handler) handler(length);
        return;
      }
      // A number of the current start waits, still pending, for its next try.
      if (retry != nullptr && retry->generation == generation_) retry_.Push(retry->entry);
      page = nullptr;
      retry = nullptr;
      generation = generation_;
      std::optional<RetryQueue::Entry> due;
      if (flag_ != Flag::Idle) due = retry_.TakeDue(Clock::now());
      if (due) {
        claimed = due->number;
        attempt = due->attempt;
      } else if (!queue_.empty()) {
        claimed = queue_.front();
        queue_.pop_front();
      } else if (source_) {
        if (flag_ == Flag::Idle) return;  // a follow run ends only when stopped
        if (const std::optional<std::int64_t> number = source_->Next()) {
          claimed = *number;
        } else {
          waitUntil = source_->WakeAt();
          if (const auto earliest = retry_.Earliest()) waitUntil = std::min(*waitUntil, *earliest);
          forSource = true;
          turn = sourceTurn_.load();
        }
      } else if (!listRun_ && next_ <= last) {
        claimed = next_++;
      } else if (flag_ != Flag::Idle && !retry_.Empty()) {
        // The run is not over while numbers wait for a later try.
        waitUntil = retry_.Earliest();
      } else {
        return;  // this chain ends
      }
      // The successor belongs to the run that is current now: after a restart,
      // an old task's successor takes its number from the new run.
      if (!waitUntil) HandOutLocked(claimed);
    }
    if (counted) {
      // Chains waiting for the source's answers look again; its news goes
      // out on this thread, outside every lock.
      sourceTurn_.fetch_add(1);
      {
        std::lock_guard<std::mutex> guard(pauseMutex_);
        pauseWake_.notify_all();
      }
      counted->AfterCount();
      counted.reset();
    }
    if (waitUntil) {
      // A stop, a block or a new start ends the wait; the numbers stay pending.
      if (!(forSource ? WaitForSource(*waitUntil, mark, turn) : PauseUntil(*waitUntil, mark))) {
        return;
      }
      continue;
    }
    Post(claimed, generation, attempt);
    return;
  }
}

void CollectionRun::HandOutLocked(std::int64_t number) {
  pending_.insert(number);
  ++runAlive_;
}

void CollectionRun::RunShopTask(std::int64_t number, std::uint64_t generation, int attempt) {
  if (!AdmitFor(number, generation)) return;
  std::optional<Clock::time_point> again;
  std::int64_t read = 0;
  const PageOutcome outcome = WorkPage(static_cast<ShopNumber>(number), attempt, again, read);
  if (again) {
    const Retrying retry{{number, attempt + 1, *again}, generation};
    ClaimSuccessor(nullptr, &retry);
    return;
  }
  const FinishedPage page{number, generation, outcome, read};
  ClaimSuccessor(&page, nullptr);
}

PageOutcome CollectionRun::WorkPage(ShopNumber number, int attempt,
                                    std::optional<Clock::time_point>& again, std::int64_t& read) {
  // One request at a time: the first step too is done under the run lock.
  const bool firstInLock = slots_.Ceiling() == 1;
  Step step;
  if (!firstInLock) {
    step = FirstStep(number, attempt);
    // A later try waits in the queue; the lock is not needed for that.
    if (step.again) {
      again = step.again;
      return PageOutcome::NotDone;
    }
  }
  WorkerPool::EnterLock(lock_);
  read = ++reads_;
  PageOutcome outcome = PageOutcome::Other;
  try {
    if (firstInLock) step = FirstStep(number, attempt);
    if (step.again) {
      again = step.again;
      outcome = PageOutcome::NotDone;
    } else if (step.rest) {
      outcome = step.rest();
    }
  } catch (...) {
    // A page that cannot be handled (say, memory exhausted) costs this number
    // only, and it goes to the failed list; the lock is left and the chain
    // goes on.
    outcome = PageOutcome::Failed;
  }
  WorkerPool::LeaveLock(lock_);
  return outcome;
}

CollectionRun::Step CollectionRun::FirstStep(ShopNumber number, int attempt) {
  if (!work_) return {};
  try {
    return work_(number, attempt);
  } catch (...) {
    // As a page that cannot be handled: this number only, kept as failed.
    return PageRest([] { return PageOutcome::Failed; });
  }
}

std::optional<std::int64_t> CollectionRun::CountPageLocked(const FinishedPage& page) {
  if (page.outcome == PageOutcome::NotDone) {
    // A follow run reads it again when its source hands it out again.
    if (source_ && page.generation == generation_) pending_.erase(page.number);
    return std::nullopt;  // still pending
  }
  // Whether the marketplace answers is not a matter of one run: any page that
  // arrives ends the streak.
  failedInARow_ = page.outcome == PageOutcome::Failed ? failedInARow_ + 1 : 0;
  // The failed list is the user's, over runs: a number read at last leaves
  // it, whichever run read it.
  if (page.outcome == PageOutcome::Failed) {
    if (failedList_.insert(page.number).second) ++failedListVersion_;
  } else if (!unkept_.contains(page.number) && failedList_.erase(page.number) > 0) {
    // A found row not yet kept leaves the list when it is (RowsKept).
    ++failedListVersion_;
  }
  if (page.generation != generation_) return std::nullopt;
  pending_.erase(page.number);
  ++done_;
  switch (page.outcome) {
    case PageOutcome::Listed:
      ++shops_;
      break;
    case PageOutcome::Filtered:
      ++filtered_;
      break;
    case PageOutcome::Failed:
      ++failed_;
      runFailed_.insert(page.number);
      break;
    case PageOutcome::Other:
    case PageOutcome::NotDone:
      break;
  }
  using Seen = DroughtWatch::Seen;
  const Seen seen = page.outcome == PageOutcome::Failed  ? Seen::Failed
                    : page.outcome == PageOutcome::Other ? Seen::NoShop
                                                         : Seen::Shop;
  // Past the top every number is without a shop: the drought rule is off.
  if (source_) return std::nullopt;
  const std::optional<std::int64_t> drought = drought_.Record(page.number, seen, page.read);
  if (blocked_ || stoppedByUser_) return std::nullopt;
  return drought;
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
  p.retries = retries_;
  p.failedKept = static_cast<std::int64_t>(failedList_.size());
  p.failedInARow = failedInARow_;
  p.listSize = listSize_;
  p.waiting = static_cast<std::int64_t>(retry_.Size());
  p.longestNoShop = drought_.Longest();
  p.mode = source_ ? RunMode::Follow : listRun_ ? RunMode::List : RunMode::Range;
  if (generation_ == 0) {
    p.state = RunState::Idle;
    return p;
  }
  if (stoppedByUser_) {
    p.state = RunState::Stopped;
  } else if (blocked_) {
    p.state = RunState::Blocked;
    p.drought = resumeFloor_.has_value();
  } else if (runAlive_ == 0) {
    p.state = RunState::Finished;
  } else if (flag_ == Flag::EndedByRange) {
    p.state = RunState::Ended;
  } else {
    p.state = RunState::Running;
  }
  // Everything below the lowest pending number is done; with nothing
  // pending, everything below the next number is.
  std::int64_t lowest = pending_.empty() ? next_ : *pending_.begin();
  if (resumeFloor_) lowest = std::min(lowest, *resumeFloor_);
  // A row found but not yet kept holds the resume point at its number.
  if (!unkept_.empty()) lowest = std::min(lowest, *unkept_.begin());
  // A run over the failed list has no place in a range to go on from: what
  // it did not read stays in the list.
  if (!listRun_ && !source_ && lowest <= p.last) p.resume = lowest;
  if (listRun_) {
    p.last = next_ - 1;
    p.next = queue_.empty() ? next_ : queue_.front();
  }
  p.elapsed = endedAt_.value_or(now) - startedAt_;
  return p;
}

std::int64_t CollectionRun::NextNumber() const {
  std::lock_guard<std::mutex> guard(state_);
  return next_;
}

void CollectionRun::Post(std::int64_t number, std::uint64_t generation, int attempt) {
  active_.fetch_add(1);
  bool started = false;
  try {
    started = pool_.StartThread([this, number, generation, attempt] {
      RunShopTask(number, generation, attempt);
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
    if (generation == generation_ && --runAlive_ == 0) {
      if (!endedAt_) endedAt_ = Clock::now();
      // A run over a list has no range end to lower the flag: its last task
      // does, so the button reads "开始采集" again.
      if (listRun_ && flag_ == Flag::Running) flag_ = Flag::Idle;
    }
  }
  std::lock_guard<std::mutex> guard(idleMutex_);
  if (active_.fetch_sub(1) == 1) idle_.notify_all();
}

bool CollectionRun::WaitUntilIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(idleMutex_);
  return idle_.wait_for(guard, timeout, [this] { return active_.load() == 0; });
}

}  // namespace dt
