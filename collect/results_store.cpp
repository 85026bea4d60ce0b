#include "collect/results_store.h"

#include <algorithm>

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

std::string ResultsStore::CellLocked(std::size_t row, int column) const {
  const std::string_view cell = CellOf(rows_[row], column);
  // The position, unless the user typed a text of their own.
  if (column == kColOrdinal && cell.empty()) return ToText(static_cast<long long>(row) + 1);
  return std::string(cell);
}

std::string ResultsStore::Cell(std::size_t row, int column) const {
  if (column < 0 || column >= kResultColumns) return {};
  std::lock_guard<std::mutex> guard(mutex_);
  if (row >= rows_.size()) return {};
  return CellLocked(row, column);
}

ResultsStore::Cells ResultsStore::RowCells(std::size_t row) const {
  Cells cells;
  std::lock_guard<std::mutex> guard(mutex_);
  if (row >= rows_.size()) return cells;
  for (int c = 0; c < kResultColumns; ++c) cells[static_cast<std::size_t>(c)] = CellLocked(row, c);
  return cells;
}

std::int64_t ResultsStore::Number(std::size_t row) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return row < rows_.size() ? rows_[row].number : kNoNumber;
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
  Row packed = Pack(cells);
  packed.number = rows_[row].number;
  packed.seq = rows_[row].seq;
  packed.exported = rows_[row].exported;
  rows_[row] = std::move(packed);
  ++changes_;
}

std::size_t ResultsStore::AppendNumberedRow(Cells cells) {
  cells[kColOrdinal].clear();
  std::lock_guard<std::mutex> guard(mutex_);
  rows_.push_back(Pack(cells));
  rows_.back().seq = nextSeq_++;
  ++unexported_;
  return rows_.size() - 1;
}

std::size_t ResultsStore::IndexOf(std::int64_t number) const {
  const auto found = index_.find(number);
  if (found == index_.end()) return rows_.size();
  const auto at = std::lower_bound(rows_.begin(), rows_.end(), found->second,
                                   [](const Row& row, std::uint64_t seq) { return row.seq < seq; });
  return static_cast<std::size_t>(at - rows_.begin());
}

void ResultsStore::Forget(const Row& row) {
  if (row.number != kNoNumber) index_.erase(row.number);
  if (!row.exported) --unexported_;
}

void ResultsStore::Put(std::vector<ShopRow>&& rows) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (ShopRow& shop : rows) {
    if (const std::size_t at = IndexOf(shop.number); at < rows_.size()) {
      Row& row = rows_[at];
      // The ordinal text is the user's: a shop found again keeps it.
      shop.cells[kColOrdinal] = std::string(CellOf(row, kColOrdinal));
      Row packed = Pack(shop.cells);
      packed.number = row.number;
      packed.seq = row.seq;
      packed.exported = row.exported;
      row = std::move(packed);
      ++changes_;
      continue;
    }
    Row row = Pack(shop.cells);
    row.number = shop.number;
    row.exported = shop.exported;
    row.seq = nextSeq_++;
    if (!row.exported) ++unexported_;
    index_.emplace_hint(index_.end(), shop.number, row.seq);
    rows_.push_back(std::move(row));
  }
}

std::vector<std::int64_t> ResultsStore::RemoveRows(std::size_t first, std::size_t count) {
  std::vector<std::int64_t> numbers;
  std::lock_guard<std::mutex> guard(mutex_);
  if (first >= rows_.size()) return numbers;
  const std::size_t end = first + std::min(count, rows_.size() - first);
  for (std::size_t i = first; i < end; ++i) {
    if (rows_[i].number != kNoNumber) numbers.push_back(rows_[i].number);
    Forget(rows_[i]);
  }
  rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(first),
              rows_.begin() + static_cast<std::ptrdiff_t>(end));
  return numbers;
}

std::vector<std::int64_t> ResultsStore::RemoveRanges(
    const std::vector<std::pair<std::size_t, std::size_t>>& ranges) {
  std::vector<std::int64_t> numbers;
  std::lock_guard<std::mutex> guard(mutex_);
  std::size_t kept = 0;
  auto range = ranges.begin();
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    while (range != ranges.end() && range->second < i) ++range;
    if (range != ranges.end() && range->first <= i) {
      if (rows_[i].number != kNoNumber) numbers.push_back(rows_[i].number);
      Forget(rows_[i]);
      continue;
    }
    if (kept != i) rows_[kept] = std::move(rows_[i]);
    ++kept;
  }
  rows_.resize(kept);
  return numbers;
}

std::size_t ResultsStore::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  const std::size_t count = rows_.size();
  rows_.clear();
  index_.clear();
  unexported_ = 0;
  return count;
}

std::vector<std::size_t> ResultsStore::UnexportedRows() const {
  std::vector<std::size_t> rows;
  std::lock_guard<std::mutex> guard(mutex_);
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (!rows_[i].exported) rows.push_back(i);
  }
  return rows;
}

std::size_t ResultsStore::UnexportedCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return unexported_;
}

void ResultsStore::MarkExported(const std::vector<std::int64_t>& numbers) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const std::int64_t number : numbers) {
    if (const std::size_t at = IndexOf(number); at < rows_.size() && !rows_[at].exported) {
      rows_[at].exported = true;
      --unexported_;
    }
  }
}

std::vector<std::int64_t> ResultsStore::Numbers(const std::vector<std::size_t>& rows) const {
  std::vector<std::int64_t> numbers;
  numbers.reserve(rows.size());
  std::lock_guard<std::mutex> guard(mutex_);
  for (const std::size_t row : rows) {
    if (row < rows_.size() && rows_[row].number != kNoNumber) numbers.push_back(rows_[row].number);
  }
  return numbers;
}

std::vector<std::int64_t> ResultsStore::Numbers(std::size_t count) const {
  std::vector<std::int64_t> numbers;
  std::lock_guard<std::mutex> guard(mutex_);
  count = std::min(count, rows_.size());
  numbers.reserve(count);
  for (std::size_t row = 0; row < count; ++row) {
    if (rows_[row].number != kNoNumber) numbers.push_back(rows_[row].number);
  }
  return numbers;
}

std::uint64_t ResultsStore::ChangeCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return changes_;
}

}  // namespace dt
