#include "collect/request_slots.h"

#include <algorithm>

namespace dt {
namespace {

// Answers that ask the client for less: the marketplace is busy, or it no
// longer takes connections.
bool AsksForLess(const FetchOutcome& outcome) {
  if (outcome.transport == Transport::NoConnection) return true;
  return outcome.transport == Transport::Complete &&
         (outcome.status == 429 || outcome.status == 503);
}

bool Good(const FetchOutcome& outcome) {
  return outcome.transport == Transport::Complete && outcome.status < 500 &&
         outcome.status != 408 && outcome.status != 429;
}

}  // namespace

void RequestSlots::SetCeiling(int ceiling) {
  ceiling = std::clamp(ceiling, 1, kMostAtOnce);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    // The user asked for more: try it at once; the marketplace's refusals
    // bring the limit down again.
    limit_ = ceiling > ceiling_ ? ceiling : std::min(limit_, ceiling);
    ceiling_ = ceiling;
    goodInARow_ = 0;
    ++epoch_;
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
    goodInARow_ = 0;
    ++epoch_;
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

std::uint64_t RequestSlots::Epoch() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return epoch_;
}

void RequestSlots::After(const FetchOutcome& outcome, std::uint64_t startedInEpoch) {
  bool grew = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (AsksForLess(outcome)) {
      goodInARow_ = 0;
      // One halving for every refusal of requests that were out together.
      if (startedInEpoch == epoch_ && limit_ > 1) {
        limit_ = std::max(1, limit_ / 2);
        ++epoch_;
      }
    } else if (Good(outcome) && ++goodInARow_ >= kGoodAnswersToGrow) {
      goodInARow_ = 0;
      if (limit_ < ceiling_) {
        ++limit_;
        grew = true;
      }
    }
  }
  if (grew) freed_.notify_one();
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
