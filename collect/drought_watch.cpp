#include "collect/drought_watch.h"

#include <algorithm>

namespace dt {

void DroughtWatch::Reset(std::int64_t first, std::int64_t longestSeen, bool on) {
  on_ = on;
  frontier_ = first;
  ahead_.clear();
  read_ = stretch_ = 0;
  stretchStart_ = first;
  longestBefore_ = std::max<std::int64_t>(longestSeen, 0);
  tripped_ = false;
  lastShopRead_ = 0;
  noShopSince_.clear();
}

void DroughtWatch::Take(Seen seen, std::int64_t number) {
  if (seen == Seen::Failed) return;
  ++read_;
  if (seen == Seen::Shop) {
    longestBefore_ = std::max(longestBefore_, stretch_);
    stretch_ = 0;
    return;
  }
  if (stretch_++ == 0) stretchStart_ = number;
  if (!tripped_ && read_ >= rules_.readBefore &&
      stretch_ > std::max(rules_.least, rules_.times * longestBefore_)) {
    tripped_ = true;
    trip_ = stretchStart_;
    for (const auto& [read, noShop] : noShopSince_) trip_ = std::min(*trip_, noShop);
  }
}

std::optional<std::int64_t> DroughtWatch::Record(std::int64_t number, Seen seen,
                                                 std::int64_t read) {
  if (!on_ || number < frontier_) return std::nullopt;
  ahead_[number] = seen;
  if (seen == Seen::Shop && read > lastShopRead_) {
    lastShopRead_ = read;
    noShopSince_.erase(noShopSince_.begin(), noShopSince_.upper_bound(read - kOutOfOrder));
  } else if (seen == Seen::NoShop && read > lastShopRead_ - kOutOfOrder) {
    noShopSince_[read] = number;
  }
  trip_.reset();
  // Everything from the frontier on that has finished, in order.
  for (auto it = ahead_.begin(); it != ahead_.end() && it->first == frontier_;
       it = ahead_.erase(it), ++frontier_) {
    Take(it->second, it->first);
  }
  return trip_;
}

std::int64_t DroughtWatch::Longest() const {
  return std::max(longestBefore_, stretch_);
}

}  // namespace dt
