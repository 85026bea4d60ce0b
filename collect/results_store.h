// The results list's data: every collected shop exists only as a row here.
// Rows are only appended. Tasks append under the run lock; the window thread
// (view, export, double-click) reads at any time. The store's own lock is held
// only for the copy of a few bytes, never while waiting for anything.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace dt {

inline constexpr int kResultColumns = 8;

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
  using Cells = std::array<std::string, kResultColumns>;

  std::size_t RowCount() const;

  // The cell's GBK bytes; out-of-range rows and columns read as empty.
  std::string Cell(std::size_t row, int column) const;

  // Replaces one cell of an existing row (the in-place edit of the first column).
  void SetCell(std::size_t row, int column, std::string_view text);

  // Appends a row at the end; its ordinal cell becomes the decimal text of
  // (rows before it) + 1, whatever cells[0] held. Returns the new row's index.
  std::size_t AppendNumberedRow(Cells cells);

 private:
  // One row's cells packed into one buffer: a million rows stay compact.
  struct Row {
    std::string bytes;
    std::array<std::uint32_t, kResultColumns + 1> bounds{};
  };
  static Row Pack(const Cells& cells);
  static std::string_view CellOf(const Row& row, int column);

  mutable std::mutex mutex_;
  std::deque<Row> rows_;
};

}  // namespace dt
