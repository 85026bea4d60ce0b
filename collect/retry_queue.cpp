#include "collect/retry_queue.h"

namespace dt {

void RetryQueue::Push(const Entry& entry) {
  if (const auto it = byNumber_.find(entry.number); it != byNumber_.end()) {
    byTime_.erase({it->second.notBefore, entry.number});
    byNumber_.erase(it);
  }
  byNumber_.emplace(entry.number, entry);
  byTime_.emplace(entry.notBefore, entry.number);
}

std::optional<RetryQueue::Entry> RetryQueue::TakeDue(Clock::time_point now) {
  if (byTime_.empty() || byTime_.begin()->first > now) return std::nullopt;
  const std::int64_t number = byTime_.begin()->second;
  byTime_.erase(byTime_.begin());
  const auto it = byNumber_.find(number);
  const Entry entry = it->second;
  byNumber_.erase(it);
  return entry;
}

std::optional<RetryQueue::Clock::time_point> RetryQueue::Earliest() const {
  if (byTime_.empty()) return std::nullopt;
  return byTime_.begin()->first;
}

void RetryQueue::Clear() {
  byNumber_.clear();
  byTime_.clear();
}

}  // namespace dt
