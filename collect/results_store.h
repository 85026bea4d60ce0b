// The results list's data in memory: one row per shop number, in list order.
// Rows come in (ShopRows from the kept list, or appended by tests), are
// updated in place when their shop is found again, and are removed by the
// user. Tasks and the writer thread put rows; the window thread (view,
// export, double-click) reads at any time and removes. The store's own lock
// is held only for the copy of a few bytes, never while waiting for anything.
//
// The ordinal cell reads as the row's position (1, 2, 3, ...) unless the user
// typed a text of its own into it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "results/shop_row.h"

namespace dt {

inline constexpr int kResultColumns = kShopCells;

// Column indexes of the results list.
enum ResultColumn : int {
  kColOrdinal = 0,  // 序号
  kColAccount = 1,  // 卖家旺旺
  kColState = 2,    // 状态, hidden, never written
  kColShopName = 3,
  kColAddress = 4,
  kColCreated = 5,
  kColCredit = 6,
  kColItems = 7,
};

class ResultsStore {
 public:
  using Cells = ShopCells;
  // The number of rows that have none (appended by AppendNumberedRow).
  static constexpr std::int64_t kNoNumber = -1;

  std::size_t RowCount() const;

  // The cell's GBK bytes; out-of-range rows and columns read as empty.
  std::string Cell(std::size_t row, int column) const;
  // The row's cells at one moment, the ordinal as Cell gives it.
  Cells RowCells(std::size_t row) const;
  std::int64_t Number(std::size_t row) const;

  // Replaces one cell of an existing row (the in-place edit of the first column).
  void SetCell(std::size_t row, int column, std::string_view text);

  // Appends a row without a shop number at the end (cells[0] is ignored).
  // Returns the new row's index.
  std::size_t AppendNumberedRow(Cells cells);

  // Rows in list order: a known number's row gets the new cells in place (its
  // ordinal text and export mark stay), a new number is appended.
  void Put(std::vector<ShopRow>&& rows);

  // Removes count rows from first on; returns their shop numbers.
  std::vector<std::int64_t> RemoveRows(std::size_t first, std::size_t count);
  // Removes the rows of ranges (first, last), sorted and apart, in one pass
  // over the list; returns their shop numbers.
  std::vector<std::int64_t> RemoveRanges(
      const std::vector<std::pair<std::size_t, std::size_t>>& ranges);
  // Removes every row; returns how many there were.
  std::size_t Clear();

  // Export marks: the rows no successful export has held, and marking.
  std::vector<std::size_t> UnexportedRows() const;
  std::size_t UnexportedCount() const;
  void MarkExported(const std::vector<std::int64_t>& numbers);
  // The numbers of the given rows (kNoNumber rows left out).
  std::vector<std::int64_t> Numbers(const std::vector<std::size_t>& rows) const;
  std::vector<std::int64_t> Numbers(std::size_t count) const;

  // Grows whenever a row already in the list changes in place.
  std::uint64_t ChangeCount() const;

 private:
  // One row's cells packed into one buffer: a million rows stay compact.
  struct Row {
    std::string bytes;
    std::array<std::uint32_t, kResultColumns + 1> bounds{};
    std::int64_t number = kNoNumber;
    std::uint64_t seq = 0;  // grows with every row appended; rows stay in its order
    bool exported = false;
  };
  static Row Pack(const Cells& cells);
  static std::string_view CellOf(const Row& row, int column);
  std::string CellLocked(std::size_t row, int column) const;
  // The index of number's row, or rows_.size() when it has none.
  std::size_t IndexOf(std::int64_t number) const;
  void Forget(const Row& row);

  mutable std::mutex mutex_;
  std::deque<Row> rows_;
  // Number -> the row's seq; a row's index is found by its seq, so removals
  // renumber nothing, and a tree grows without the long rehash of a hash
  // table while a million rows load.
  std::map<std::int64_t, std::uint64_t> index_;
  std::uint64_t nextSeq_ = 0;
  std::size_t unexported_ = 0;
  std::uint64_t changes_ = 0;
};

}  // namespace dt
