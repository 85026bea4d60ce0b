// One shop of the results list as the kept list holds it, and the narrow
// interface through which the collection engine hands found shops on. A
// backend other than the local database (a shared server, say) implements
// the same interface.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

// Where the engine puts a shop it found. Found is called on task threads under
// the run lock: it never waits for a disk or a network. A row found is not
// safe yet: the sink tells, later and on its own thread, which numbers' rows
// it has kept (written where they survive the program, or given up on when
// this start has nowhere to write them), so that the engine never counts a
// number as done whose row could still be lost.
class ShopRowSink {
 public:
  // The numbers whose rows were kept, one entry per Found.
  using KeptHandler = std::function<void(const std::vector<std::int64_t>& numbers)>;

  virtual ~ShopRowSink() = default;
  virtual void Found(std::int64_t number, ShopCells cells) = 0;
  // Replaces the handler told of kept rows (an empty one: nobody is told).
  // Once this returns, the handler it replaced is not running nor called again.
  virtual void OnKept(KeptHandler handler) = 0;
};

}  // namespace dt
