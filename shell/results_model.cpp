#include "shell/results_model.h"

#include <algorithm>
#include <array>
#include <climits>
#include <string>

#include "text/gbk_codec.h"
#include "text/gbk_text.h"

namespace dt::shell {
namespace {

constexpr std::array<ResultColumnHeading, kResultColumns> kColumns{{
    {"\xD0\xF2\xBA\xC5", 40},                   // 序号
    {"\xC2\xF4\xBC\xD2\xCD\xFA\xCD\xFA", 100},  // 卖家旺旺
    {"\xD7\xB4\xCC\xAC", 0},                    // 状态, never filled
    {"\xB5\xEA\xC6\xCC\xC3\xFB\xB3\xC6", 180},  // 店铺名称
    {"\xB5\xEA\xC6\xCC\xB5\xD8\xD6\xB7", 200},  // 店铺地址
    {"\xB4\xB4\xB5\xEA\xCA\xB1\xBC\xE4", 80},   // 创店时间
    {"\xC0\xDB\xBC\xC6\xD0\xC5\xD3\xC3", 60},   // 累计信用
    {"\xB1\xA6\xB1\xB4\xCA\xFD\xC1\xBF", 60},   // 宝贝数量
}};

// A cell shows at most this many bytes: more never fits a column even as
// wide as the window, and a page may carry a name of megabytes, whose layout
// on every repaint would stall the window. The store and the export keep the
// whole text.
constexpr std::size_t kMaxShownBytes = 1024;

// The beginning of a cell up to kMaxShownBytes, cut between characters.
std::string_view ShownPart(std::string_view gbk) {
  return GbkPrefix(gbk, kMaxShownBytes);
}

QString DisplayText(std::string_view gbk) {
  QString text = QString::fromStdString(GbkToUtf8(gbk));
  // A row stays one line: control bytes from a page (TAB, CR, LF in an
  // account) show as blanks. The store keeps them.
  for (QChar& c : text) {
    if (c.unicode() < 0x20) c = QLatin1Char(' ');
  }
  return text;
}

}  // namespace

std::span<const ResultColumnHeading> ResultColumnHeadings() {
  return kColumns;
}

ResultsModel::ResultsModel(ResultsStore& store, QObject* parent)
    : QAbstractTableModel(parent), store_(store) {}

std::size_t ResultsModel::ShowNewRows() {
  const int total = static_cast<int>(std::min<std::size_t>(store_.RowCount(), INT_MAX));
  if (total <= shown_) return 0;
  const int added = total - shown_;
  beginInsertRows(QModelIndex(), shown_, total - 1);
  shown_ = total;
  endInsertRows();
  return static_cast<std::size_t>(added);
}

void ResultsModel::ShowChangedRows() {
  const std::uint64_t changes = store_.ChangeCount();
  if (changes == changesShown_) return;
  changesShown_ = changes;
  // The view asks again only for the cells it shows.
  if (shown_ > 0) emit dataChanged(index(0, 0), index(shown_ - 1, kResultColumns - 1));
}

std::vector<std::int64_t> ResultsModel::RemoveRows(int first, int count) {
  if (first < 0 || count <= 0 || first >= shown_) return {};
  count = std::min(count, shown_ - first);
  beginRemoveRows(QModelIndex(), first, first + count - 1);
  std::vector<std::int64_t> numbers =
      store_.RemoveRows(static_cast<std::size_t>(first), static_cast<std::size_t>(count));
  shown_ -= count;
  endRemoveRows();
  // The rows below took new positions: their ordinals change.
  if (first < shown_) emit dataChanged(index(first, 0), index(shown_ - 1, 0));
  return numbers;
}

std::vector<std::int64_t> ResultsModel::RemoveRanges(
    const std::vector<std::pair<int, int>>& ranges) {
  if (ranges.empty()) return {};
  if (ranges.size() == 1) {
    return RemoveRows(ranges[0].first, ranges[0].second - ranges[0].first + 1);
  }
  // A selection of many pieces: one pass over the store, not one per piece.
  std::vector<std::pair<std::size_t, std::size_t>> rows;
  int removed = 0;
  for (const auto& [first, last] : ranges) {
    if (first < 0 || last < first || last >= shown_) continue;
    rows.emplace_back(static_cast<std::size_t>(first), static_cast<std::size_t>(last));
    removed += last - first + 1;
  }
  beginResetModel();
  std::vector<std::int64_t> numbers = store_.RemoveRanges(rows);
  shown_ -= removed;
  endResetModel();
  return numbers;
}

std::size_t ResultsModel::RemoveAll() {
  beginResetModel();
  const std::size_t count = store_.Clear();
  shown_ = 0;
  endResetModel();
  return count;
}

int ResultsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : shown_;
}

int ResultsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kResultColumns;
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= shown_) return {};
  switch (role) {
    case Qt::DisplayRole:
      return DisplayText(
          ShownPart(store_.Cell(static_cast<std::size_t>(index.row()), index.column())));
    case Qt::EditRole:
      return DisplayText(store_.Cell(static_cast<std::size_t>(index.row()), index.column()));
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
      return {};
  }
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kResultColumns) return {};
  if (role == Qt::DisplayRole) {
    return QString::fromStdString(GbkToUtf8(kColumns[static_cast<std::size_t>(section)].title));
  }
  if (role == Qt::TextAlignmentRole) {
    return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
  }
  return {};
}

Qt::ItemFlags ResultsModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (index.column() == kColOrdinal) flags |= Qt::ItemIsEditable;
  return flags;
}

bool ResultsModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || index.row() >= shown_ || index.column() != kColOrdinal ||
      role != Qt::EditRole) {
    return false;
  }
  const std::string text = Utf8ToGbk(value.toString().toStdString());
  // An editor left without typing hands back what it showed: the row's place
  // stays a place that follows the list, not a text typed by the user.
  if (text == store_.Cell(static_cast<std::size_t>(index.row()), kColOrdinal)) return true;
  store_.SetCell(static_cast<std::size_t>(index.row()), kColOrdinal, text);
  if (ordinalEdited_) {
    const std::int64_t number = store_.Number(static_cast<std::size_t>(index.row()));
    if (number != ResultsStore::kNoNumber) ordinalEdited_(number, text);
  }
  emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
  return true;
}

}  // namespace dt::shell
