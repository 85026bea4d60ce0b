#include "shell/results_view.h"

namespace dt::shell {

void ResultsTableView::ShowAppendedRows(const std::function<void()>& announce) {
  // A row at the viewport's bottom edge: the rows fill it, so appended rows
  // start below what is shown.
  onlyBelowVisible_ = isVisible() && rowAt(viewport()->height() - 1) >= 0;
  announce();
  // The layout the insertion scheduled runs now, while the flag holds only
  // for it.
  if (onlyBelowVisible_) executeDelayedItemsLayout();
  onlyBelowVisible_ = false;
}

void ResultsTableView::doItemsLayout() {
  if (!onlyBelowVisible_) {
    QTableView::doItemsLayout();
    return;
  }
  // What the full layout does, without the repaint of the viewport: the
  // scroll bars take the new row count.
  updateGeometries();
}

}  // namespace dt::shell
