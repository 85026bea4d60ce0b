// The results list's actions: its context menu and keys (copy, open the
// shop, delete the selected rows, clear the list, export only the rows no
// export has held), the export button, the ordinal editor's hook into the kept
// list, and the export marks an export leaves. Members of MainWindow, kept
// apart from the window's set-up and run controls.
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "export/export_results.h"
#include "shell/main_window.h"
#include "shell/open_address.h"
#include "shell/results_model.h"
#include "shell/save_file_dialog.h"
#include "shell/ui_text.h"
#include "text/gbk_codec.h"
#include "text/gbk_text.h"

namespace dt::shell {
namespace {

constexpr std::string_view kCopyCaption = "\xB8\xB4\xD6\xC6";                      // 复制
constexpr std::string_view kOpenShopCaption = "\xB4\xF2\xBF\xAA\xB5\xEA\xC6\xCC";  // 打开店铺
constexpr std::string_view kDeleteRowsCaption =
    "\xC9\xBE\xB3\xFD\xCB\xF9\xD1\xA1\xD0\xD0";  // 删除所选行
constexpr std::string_view kClearListCaption = "\xC7\xE5\xBF\xD5\xC1\xD0\xB1\xED";  // 清空列表
constexpr std::string_view kExportNewCaption =
    "\xD6\xBB\xB5\xBC\xB3\xF6\xCE\xB4\xB5\xBC\xB3\xF6\xB5\xC4\xB5\xEA\xC6\xCC";  // 只导出未导出的店铺
// 没有未导出的店铺
constexpr std::string_view kNothingNewMessage =
    "\xC3\xBB\xD3\xD0\xCE\xB4\xB5\xBC\xB3\xF6\xB5\xC4\xB5\xEA\xC6\xCC";

// 清空列表，删除全部 N 行？
std::string ClearQuestion(std::size_t rows) {
  return "\xC7\xE5\xBF\xD5\xC1\xD0\xB1\xED\xA3\xAC\xC9\xBE\xB3\xFD\xC8\xAB\xB2\xBF " +
         ToText(static_cast<long long>(rows)) + " \xD0\xD0\xA3\xBF";
}

// How long an export waits for its marks to reach the file (the text export
// on the window's thread, a table's on its own).
constexpr std::chrono::milliseconds kExportMarksCommitLimit{1000};

}  // namespace

void MainWindow::ExportClicked(bool newOnly) {
  if (!deletion_.empty()) return;  // greyed meanwhile; a click that came before
  ResultsStore& store = collector_.Results();
  StatusLog& status = collector_.Status();
  if (newOnly && store.UnexportedCount() == 0) {
    status.AppendStatusLine(kNothingNewMessage);
    ShowProgress();
    return;
  }
  ExportDeps deps;
  deps.programFolder =
      ExportInitialFolder(QCoreApplication::applicationDirPath().toStdString() + "/");
  if (saveFileDialog_) {
    deps.showSaveFileDialog = saveFileDialog_;
  } else {
    deps.showSaveFileDialog = [this, programFolder = deps.programFolder](std::string_view filter,
                                                                         std::string_view folder,
                                                                         std::string_view name) {
      return ShowSaveFileDialog(this, filter, folder, name, programFolder);
    };
  }
  // The rows are taken when the dialog closes: the whole list, or the rows no
  // export has held. No row is removed while the export reads them (the
  // removing actions wait for its end); a row found again may change in place.
  auto rows = std::make_shared<std::vector<std::size_t>>();
  auto numbers = std::make_shared<std::vector<std::int64_t>>();
  deps.rowCount = [&store, rows, numbers, newOnly] {
    if (newOnly) {
      *rows = store.UnexportedRows();
      *numbers = store.Numbers(*rows);
      return rows->size();
    }
    const std::size_t count = store.RowCount();
    *numbers = store.Numbers(count);
    return count;
  };
  if (newOnly) {
    deps.cell = [&store, rows](std::size_t row, int column) {
      return row < rows->size() ? store.Cell((*rows)[row], column) : std::string();
    };
  } else {
    deps.cell = [&store](std::size_t row, int column) { return store.Cell(row, column); };
  }
  // Every export that reached its file marks the rows it wrote, in the kept
  // list at once: a program killed right after an export still knows them.
  deps.saved = [&store, numbers, keeper = keeper_] {
    store.MarkExported(*numbers);
    if (keeper == nullptr) return;
    keeper->MarkExported(*numbers);
    // Not kept in time (the file locked, a full disk): the marks stay queued
    // and the keeper says why it is behind.
    (void)keeper->Commit(kExportMarksCommitLimit);
  };
  deps.options = [this] {
    ExportOptions options;
    options.shopName = ui_.exportShopName->isChecked();
    options.shopAddress = ui_.exportAddress->isChecked();
    options.creationDate = ui_.exportCreated->isChecked();
    options.creditLevel = ui_.exportCredit->isChecked();
    options.itemCount = ui_.exportItemCount->isChecked();
    return options;
  };
  deps.appendStatusLine = [&status](std::string_view message) { status.AppendStatusLine(message); };
  deps.columnTitle = [](int column) {
    return std::string(ResultColumnHeadings()[static_cast<std::size_t>(column)].title);
  };
  deps.runAside = [this](std::function<void()> work) {
    ui_.exportData->setEnabled(false);
    if (exportThread_.joinable()) exportThread_.join();  // ended: its button came back
    exportThread_ = std::thread([this, work = std::move(work)] {
      work();
      QMetaObject::invokeMethod(
          this,
          [this] {
            exportThread_.join();
            ui_.exportData->setEnabled(true);
            ShowProgress();
            if (closeAfterExport_) close();
          },
          Qt::QueuedConnection);
    });
  };
  ExportResults(deps);
  ShowProgress();
}

void MainWindow::SetResultsKeeper(ResultsKeeper* keeper) {
  keeper_ = keeper;
  model_->SetOrdinalEdited([this](std::int64_t number, const std::string& text) {
    if (keeper_ != nullptr) keeper_->SetOrdinal(number, text);
  });
  ShowProgress();
}

void MainWindow::SetUpListActions() {
  QTableView* view = ui_.results;
  const auto add = [this, view](std::string_view caption, QKeySequence keys, auto slot) {
    auto* action = new QAction(Ui(caption), view);
    if (!keys.isEmpty()) action->setShortcut(keys);
    action->setShortcutContext(Qt::WidgetShortcut);
    connect(action, &QAction::triggered, this, slot);
    view->addAction(action);
    return action;
  };
  const auto separator = [view] {
    auto* line = new QAction(view);
    line->setSeparator(true);
    view->addAction(line);
  };
  copyAction_ = add(kCopyCaption, QKeySequence::Copy, [this] { CopySelectedRows(); });
  openAction_ = add(kOpenShopCaption, QKeySequence(), [this] { ResultsDoubleClicked(); });
  separator();
  deleteAction_ = add(kDeleteRowsCaption, QKeySequence::Delete, [this] { DeleteSelectedRows(); });
  clearAction_ = add(kClearListCaption, QKeySequence(), [this] { ClearList(); });
  separator();
  exportNewAction_ = add(kExportNewCaption, QKeySequence(), [this] { ExportClicked(true); });
  view->setContextMenuPolicy(Qt::ActionsContextMenu);
  confirm_ = [this](const QString& question) {
    return QMessageBox::question(this, windowTitle(), question) == QMessageBox::Yes;
  };
}

bool MainWindow::ListBusy() const {
  return exportThread_.joinable() || !deletion_.empty() ||
         (keeper_ != nullptr && keeper_->Loading());
}

void MainWindow::UpdateListActions() {
  const bool busy = ListBusy();
  if (deleteAction_->isEnabled() == busy) deleteAction_->setEnabled(!busy);
  if (clearAction_->isEnabled() == busy) clearAction_->setEnabled(!busy);
  // An export reads the rows a deletion in steps is still taking away.
  const bool deleting = !deletion_.empty();
  const bool exporting = exportThread_.joinable() || deleting;
  if (exportNewAction_->isEnabled() == exporting) exportNewAction_->setEnabled(!exporting);
  // A table export being written owns the button until its end comes back.
  if (!exportThread_.joinable() && ui_.exportData->isEnabled() == deleting) {
    ui_.exportData->setEnabled(!deleting);
  }
}

QString MainWindow::SelectedRowsText() const {
  std::vector<int> rows;
  for (const QItemSelectionRange& range : ui_.results->selectionModel()->selection()) {
    for (int row = range.top(); row <= range.bottom(); ++row) rows.push_back(row);
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  std::string text;
  for (const int row : rows) {
    const ResultsStore::Cells cells = collector_.Results().RowCells(static_cast<std::size_t>(row));
    bool first = true;
    for (int column = 0; column < kResultColumns; ++column) {
      if (ui_.results->isColumnHidden(column)) continue;
      if (!first) text.push_back('\t');
      first = false;
      // One row stays one line of cells: control bytes read as blanks.
      for (const char c : cells[static_cast<std::size_t>(column)]) {
        text.push_back(static_cast<unsigned char>(c) < 0x20 ? ' ' : c);
      }
    }
    text.push_back('\n');
  }
  return Ui(text);
}

void MainWindow::CopySelectedRows() {
  if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setText(SelectedRowsText());
}

void MainWindow::DeleteSelectedRows() {
  if (ListBusy()) return;
  std::vector<std::pair<int, int>> ranges;
  for (const QItemSelectionRange& range : ui_.results->selectionModel()->selection()) {
    ranges.emplace_back(range.top(), range.bottom());
  }
  if (ranges.empty()) return;
  // Ranges that touch are taken as one.
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<int, int>> merged;
  for (const auto& range : ranges) {
    if (!merged.empty() && range.first <= merged.back().second + 1) {
      merged.back().second = std::max(merged.back().second, range.second);
    } else {
      merged.push_back(range);
    }
  }
  deletion_ = std::move(merged);
  // The rows to go are taken; their selection would only cost each step's
  // repaint a walk over every selected row (the header asks whether a whole
  // column is selected), and nothing of it is left once they are gone.
  ui_.results->selectionModel()->clearSelection();
  DeleteNextRows();
}

void MainWindow::DeleteNextRows() {
  if (deletion_.empty()) return;
  // The lowest range waiting first: the places of the rows above it stay as
  // they were taken from the selection. Within it, the end nearer to an end
  // of the list goes first, so the store moves the fewest rows up.
  std::vector<std::pair<int, int>> piece;
  int left = kDeleteStepRows;
  const int listRows = model_->rowCount();
  while (left > 0 && !deletion_.empty()) {
    auto& [top, bottom] = deletion_.back();
    const int count = std::min(left, bottom - top + 1);
    const int first = top < listRows - 1 - bottom ? top : bottom - count + 1;
    piece.insert(piece.begin(), {first, first + count - 1});
    bottom -= count;  // taken from the top, the rows below it moved up
    left -= count;
    if (bottom < top) deletion_.pop_back();
  }
  // The kept list hears of the removal first (see ResultsKeeper::Remove).
  if (keeper_ != nullptr) {
    std::vector<std::size_t> rows;
    for (const auto& [top, bottom] : piece) {
      for (int row = top; row <= bottom; ++row) rows.push_back(static_cast<std::size_t>(row));
    }
    keeper_->Remove(collector_.Results().Numbers(rows));
  }
  model_->RemoveRanges(piece);
  UpdateListActions();
  ShowReadout();
  // The next step after the events that waited meanwhile.
  if (!deletion_.empty()) QTimer::singleShot(0, this, [this] { DeleteNextRows(); });
}

void MainWindow::FinishDeletion() {
  while (!deletion_.empty()) DeleteNextRows();
}

void MainWindow::ClearList() {
  if (ListBusy()) return;
  const std::size_t rows = collector_.Results().RowCount();
  if (rows == 0 || !confirm_ || !confirm_(Ui(ClearQuestion(rows)))) return;
  if (keeper_ != nullptr) keeper_->Clear();
  model_->RemoveAll();
  ShowReadout();
}

void MainWindow::ResultsDoubleClicked() {
  // The row is the first selected one, not the one under the pointer: the
  // first click of the double-click has selected it.
  int first = INT_MAX;
  for (const QItemSelectionRange& range : ui_.results->selectionModel()->selection()) {
    first = std::min(first, range.top());
  }
  const std::string address =
      first == INT_MAX ? std::string()
                       : collector_.Results().Cell(static_cast<std::size_t>(first), kColAddress);
  OpenAddress(launcher_, address, true);
}

}  // namespace dt::shell
