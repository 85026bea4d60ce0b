// The results list's model: a view of the results store, whose cells stay GBK
// bytes; they become display text only when the view asks for a cell. Rows the
// store gains are announced in batches by ShowNewRows(), called on a timer, so
// a fast run costs the window one insertion per tick, not one per row.
#pragma once

#include <QAbstractTableModel>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "collect/results_store.h"

namespace dt::shell {

struct ResultColumnHeading {
  std::string_view title;  // GBK
  int width;               // 0: hidden
};

// The eight columns of the results list, by ResultColumn index.
std::span<const ResultColumnHeading> ResultColumnHeadings();

class ResultsModel : public QAbstractTableModel {
 public:
  explicit ResultsModel(ResultsStore& store, QObject* parent = nullptr);

  // Announces the rows appended to the store since the previous call, in one
  // insertion; returns how many there were.
  std::size_t ShowNewRows();
  // Repaints the rows when some changed in place since the previous call (a
  // shop found again).
  void ShowChangedRows();
  // Removes rows first .. first + count - 1 from the store and the view;
  // returns their shop numbers.
  std::vector<std::int64_t> RemoveRows(int first, int count);
  // Removes the rows of ranges (first, last), sorted and apart; returns their
  // shop numbers. One range is removed as such, more in one pass and a reset.
  std::vector<std::int64_t> RemoveRanges(const std::vector<std::pair<int, int>>& ranges);
  // Removes every row; returns how many there were.
  std::size_t RemoveAll();

  // Called with the row's shop number and the new GBK text after an in-place
  // edit of the first column.
  void SetOrdinalEdited(std::function<void(std::int64_t number, const std::string& text)> edited) {
    ordinalEdited_ = std::move(edited);
  }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // The first column can be edited in place; the typed text is kept in the
  // store (as GBK), the other columns are read-only.
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

 private:
  ResultsStore& store_;
  int shown_ = 0;
  std::uint64_t changesShown_ = 0;
  std::function<void(std::int64_t, const std::string&)> ordinalEdited_;
};

}  // namespace dt::shell
