// The results list's view. A repaint of its visible cells costs milliseconds
// (every cell's text is shaped anew), so rows appended below the visible ones,
// which change nothing but the scroll bar, are laid out without one.
#pragma once

#include <QTableView>
#include <functional>

namespace dt::shell {

class ResultsTableView : public QTableView {
 public:
  using QTableView::QTableView;

  // Runs announce, which makes the model announce rows appended at its end,
  // and lays the view out at once. When the visible rows already fill the
  // viewport, the new ones lie below it and the visible cells are not
  // repainted; otherwise the view is laid out and repainted as usual.
  void ShowAppendedRows(const std::function<void()>& announce);

 protected:
  void doItemsLayout() override;

 private:
  bool onlyBelowVisible_ = false;
};

}  // namespace dt::shell
