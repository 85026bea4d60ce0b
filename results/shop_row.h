// One shop of the results list as the kept list holds it, and the narrow
// interface through which the collection engine hands found shops on. A
// backend other than the local database (a shared server, say) implements
// the same interface.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace dt {

// The list's cells: ordinal, account, state, name, address, created, credit,
// items (the list's column order), GBK bytes.
inline constexpr int kShopCells = 8;
using ShopCells = std::array<std::string, kShopCells>;

struct ShopRow {
  std::int64_t number = 0;  // the shop number: one row per number
  ShopCells cells;          // cells[0] is the user's own text for the ordinal, often empty
  bool exported = false;    // held by a successful export before
};

// Where the engine puts a shop it found. Called on task threads under the run
// lock: it never waits for a disk or a network.
class ShopRowSink {
 public:
  virtual ~ShopRowSink() = default;
  virtual void Found(std::int64_t number, ShopCells cells) = 0;
};

}  // namespace dt
