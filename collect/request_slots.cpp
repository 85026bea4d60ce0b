#include "collect/request_slots.h"

#include <algorithm>

namespace dt {
void RequestSlots::SetCeiling(int ceiling) {
  ceiling = std::clamp(ceiling, 1, kMostAtOnce);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    // The user asked for more: try it at once; the marketplace's refusals
    // bring the limit down again.
    limit_ = ceiling > ceiling_ ? ceiling : std::min(limit_, ceiling);
    ceiling_ = ceiling;
    answers_ = refusals_ = 0;
  }
  freed_.notify_all();
}

int RequestSlots::Ceiling() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return ceiling_;
}

void RequestSlots::Reset() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    limit_ = ceiling_;
    answers_ = refusals_ = 0;
  }
  freed_.notify_all();
}

void RequestSlots::Acquire() {
  std::unique_lock<std::mutex> guard(mutex_);
  freed_.wait(guard, [this] { return inFlight_ < limit_; });
  ++inFlight_;
}

void RequestSlots::Release() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    --inFlight_;
  }
  freed_.notify_one();
}

void RequestSlots::After(const AnswerClass& answer) {
  if (answer.kind == AnswerKind::Unusable) return;
  bool grew = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++answers_;
    if (answer.kind == AnswerKind::Refusal) ++refusals_;
    if (refusals_ >= kRefusalsToHalve) {
      limit_ = std::max(1, limit_ / 2);
      answers_ = refusals_ = 0;
    } else if (answers_ >= kBlock) {
      if (refusals_ <= kRefusalsToGrow && limit_ < ceiling_) {
        limit_ = std::min(ceiling_, limit_ * 2);
        grew = true;
      }
      answers_ = refusals_ = 0;
    }
  }
  if (grew) freed_.notify_all();
}

int RequestSlots::InFlight() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return inFlight_;
}

int RequestSlots::Limit() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return limit_;
}

}  // namespace dt
