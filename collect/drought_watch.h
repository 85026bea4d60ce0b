// Watches for a drought of shops: numbers read one after another, in number
// order, with no shop on them. A verification page served with 200 looks
// like a page without a shop, and so does the range past the newest shops;
// a stretch far longer than any the run has seen means one or the other.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

namespace dt {

// A stretch trips the rule when it is longer than max(least, times x the
// longest one seen before it), once at least readBefore numbers were read.
struct DroughtRules {
  std::int64_t least = 300;
  std::int64_t times = 10;
  std::int64_t readBefore = 500;
};

class DroughtWatch {
 public:
  enum class Seen { Shop, NoShop, Failed };
  static constexpr std::int64_t kOutOfOrder = 20;  // the most requests out at once

  explicit DroughtWatch(DroughtRules rules = {}) : rules_(rules) {}

  // A new run from first on. longestSeen: the longest stretch an earlier run
  // found on the way here (kept with its resume point); off: never trips
  // (a run over the failed list, whose numbers are not in a row).
  void Reset(std::int64_t first, std::int64_t longestSeen, bool on);

  // The page work of number finished. A filtered shop is a shop; a failed
  // number neither counts nor breaks a stretch. Numbers are taken in number
  // order as the ones below them finish. read: the order the page was read
  // in (it may be counted later). Returns, once a run, where to go on from
  // when a stretch trips the rule: its first number, or lower, the lowest
  // number read without a shop since the last shop was read, or within
  // kOutOfOrder reads before it (requests out together may come back in
  // another order; those answered after the marketplace began to refuse may
  // lie below a shop read about then).
  std::optional<std::int64_t> Record(std::int64_t number, Seen seen, std::int64_t read);

  // The longest stretch seen, the current one and the one given included.
  std::int64_t Longest() const;
  // The stretch going on now.
  std::int64_t Current() const { return stretch_; }

 private:
  void Take(Seen seen, std::int64_t number);

  DroughtRules rules_;
  bool on_ = false;
  std::int64_t frontier_ = 0;  // the lowest number not taken yet
  std::map<std::int64_t, Seen> ahead_;
  std::int64_t read_ = 0;
  std::int64_t stretch_ = 0;
  std::int64_t stretchStart_ = 0;
  std::int64_t longestBefore_ = 0;  // stretches that ended, and the one given
  bool tripped_ = false;
  std::int64_t lastShopRead_ = 0;
  std::map<std::int64_t, std::int64_t> noShopSince_;  // read order -> number
  std::optional<std::int64_t> trip_;
};

}  // namespace dt
