#include "collect/results_store.h"

#include "text/gbk_text.h"

namespace dt {

ResultsStore::Row ResultsStore::Pack(const Cells& cells) {
  Row row;
  std::size_t total = 0;
  for (const std::string& cell : cells) total += cell.size();
  row.bytes.reserve(total);
  row.bounds[0] = 0;
  for (int c = 0; c < kResultColumns; ++c) {
    row.bytes.append(cells[static_cast<std::size_t>(c)]);
    row.bounds[static_cast<std::size_t>(c) + 1] = static_cast<std::uint32_t>(row.bytes.size());
  }
  return row;
}

std::string_view ResultsStore::CellOf(const Row& row, int column) {
  const std::uint32_t begin = row.bounds[static_cast<std::size_t>(column)];
  const std::uint32_t end = row.bounds[static_cast<std::size_t>(column) + 1];
  return std::string_view(row.bytes).substr(begin, end - begin);
}

std::size_t ResultsStore::RowCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return rows_.size();
}

std::string ResultsStore::Cell(std::size_t row, int column) const {
  if (column < 0 || column >= kResultColumns) return {};
  std::lock_guard<std::mutex> guard(mutex_);
  if (row >= rows_.size()) return {};
  return std::string(CellOf(rows_[row], column));
}

void ResultsStore::SetCell(std::size_t row, int column, std::string_view text) {
  if (column < 0 || column >= kResultColumns) return;
  std::lock_guard<std::mutex> guard(mutex_);
  if (row >= rows_.size()) return;
  Cells cells;
  for (int c = 0; c < kResultColumns; ++c) {
    cells[static_cast<std::size_t>(c)] = std::string(CellOf(rows_[row], c));
  }
  cells[static_cast<std::size_t>(column)] = std::string(text);
  rows_[row] = Pack(cells);
}

std::size_t ResultsStore::AppendNumberedRow(Cells cells) {
  std::lock_guard<std::mutex> guard(mutex_);
  const std::size_t index = rows_.size();
  cells[kColOrdinal] = ToText(static_cast<long long>(index) + 1);
  rows_.push_back(Pack(cells));
  return index;
}

}  // namespace dt
