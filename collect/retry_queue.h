// Numbers waiting for a later try, each with the time it may go again. The
// run owns one and guards it with its own state lock; the queue itself is
// plain data.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>

namespace dt {

class RetryQueue {
 public:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    std::int64_t number = 0;
    int attempt = 0;  // the try it is to have next, from 2
    Clock::time_point notBefore{};
    bool operator==(const Entry&) const = default;
  };

  // A number already waiting keeps one entry: the later one given.
  void Push(const Entry& entry);
  // The due entry that has waited longest (the lowest number among equals),
  // taken out; nullopt when none is due at now.
  std::optional<Entry> TakeDue(Clock::time_point now);
  // When the earliest entry becomes due; nullopt when the queue is empty.
  std::optional<Clock::time_point> Earliest() const;
  bool Empty() const { return byNumber_.empty(); }
  std::size_t Size() const { return byNumber_.size(); }
  void Clear();

 private:
  std::map<std::int64_t, Entry> byNumber_;
  std::set<std::pair<Clock::time_point, std::int64_t>> byTime_;
};

}  // namespace dt
