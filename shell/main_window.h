// The program's one window: the form's controls, the results list over the
// results store, the status box, and the event map that connects them to the
// collection engine, the export and the browser.
#pragma once

#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "collect/collector.h"
#include "collect/run_report.h"
#include "results/results_keeper.h"
#include "settings/control_states.h"
#include "shell/results_view.h"
#include "shell/run_state_writer.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTableView;
class QTimer;

namespace dt::shell {

class BrowserLauncher;
class ResultsModel;

// The form's controls that the window works with, typed, found once after the
// form is built (the form table stays the one list of controls).
struct WindowControls {
  QLineEdit* firstNumber = nullptr;  // the range's first number
  QLineEdit* lastNumber = nullptr;   // the range's last number
  QPushButton* start = nullptr;      // start / stop
  QPushButton* exportData = nullptr;
  QPushButton* update = nullptr;    // opens the update page
  QCheckBox* zeroItems = nullptr;   // filter: shops without items only
  QCheckBox* zeroCredit = nullptr;  // filter: shops without credit only
  QCheckBox* exportShopName = nullptr;
  QCheckBox* exportAddress = nullptr;
  QCheckBox* exportCreated = nullptr;
  QCheckBox* exportCredit = nullptr;
  QCheckBox* exportItemCount = nullptr;
  QPlainTextEdit* statusBox = nullptr;
  ResultsTableView* results = nullptr;
  QWidget* topBar = nullptr;       // the group box of the top row
  QWidget* searchPanel = nullptr;  // the covered search panel
};

class MainWindow : public QWidget {
 public:
  // Shows the engine's new rows, status text and run flag this often.
  static constexpr int kRefreshMilliseconds = 50;

  using SaveFileDialog = std::function<std::string(
      std::string_view filterGbk, std::string_view folder, std::string_view defaultNameGbk)>;

  MainWindow(Collector& collector, BrowserLauncher& launcher, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The form's widgets in form order, and one of them by its GBK name
  // (nullptr when the form has no such control); tests look controls up so.
  const std::vector<QWidget*>& FormWidgets() const { return widgets_; }
  QWidget* Control(std::string_view nameGbk) const;
  template <typename T>
  T* ControlAs(std::string_view nameGbk) const {
    return dynamic_cast<T*>(Control(nameGbk));
  }

  // The controls for SaveControlStates/RestoreControlStates, in form order.
  std::vector<std::unique_ptr<SavableControl>> Controls() const;

  // Runs when the window is asked to close (title bar, Esc), before it
  // closes; the close is always allowed, once a table export being written
  // has ended (the window then closes itself).
  void SetCloseHook(std::function<void()> hook) { closeHook_ = std::move(hook); }

  // Replaces the save-file dialog of the export (tests). Without one, the
  // toolkit's dialog is shown.
  void SetSaveFileDialog(SaveFileDialog dialog) { saveFileDialog_ = std::move(dialog); }

  // The kept list: the user's changes to the list (removals, the ordinal's
  // text, export marks) go there too, and the readout says while it loads.
  // Without one the list lives in memory only.
  void SetResultsKeeper(ResultsKeeper* keeper);
  // Asks the user a yes/no question (UTF-8 for the toolkit); replaced by tests.
  void SetConfirm(std::function<bool(const QString&)> confirm) { confirm_ = std::move(confirm); }

  // The list's context menu (and its keys): 复制, 打开店铺, 删除所选行,
  // 清空列表 (asks first), 只导出未导出的店铺. Removing waits while an
  // export reads the list or the kept rows still load.
  QAction* CopyAction() const { return copyAction_; }
  QAction* OpenShopAction() const { return openAction_; }
  QAction* DeleteRowsAction() const { return deleteAction_; }
  QAction* ClearListAction() const { return clearAction_; }
  QAction* ExportNewAction() const { return exportNewAction_; }
  // The selected rows as tab-separated lines, as 复制 puts them on the clipboard.
  QString SelectedRowsText() const;

  // Copies the last-number box and the two filter boxes into the engine's
  // mirrors, which task threads read. Runs on every change of those boxes;
  // call it after setting them by other means with their signals blocked.
  void SyncEngineMirrors();

  // Shows what the engine produced since the previous call: new rows, new
  // status text, the run flag as the start button's caption, the progress
  // readout. The refresh timer calls it.
  void ShowProgress();

  // The run a state file kept from an earlier start; the readout offers to go
  // on from its resume point until a run starts.
  void SetSavedRun(std::optional<SavedRun> saved);
  // Stores the state file's text; called from the refresh timer at most once
  // a second while the figures change, and at once on a stop click and on
  // close. Nothing is stored before the first run of this start.
  void SetRunStateSaver(std::function<void(const std::string&)> saver) {
    stateWriter_.SetRunStateSaver(std::move(saver));
  }
  void SaveRunState(bool now) { stateWriter_.Save(now); }
  // Stores the failed list's file text whenever the list changed, at the
  // same moments as the state file.
  void SetFailedListSaver(std::function<void(const std::string&)> saver) {
    stateWriter_.SetFailedListSaver(std::move(saver));
  }
  // The writer of the state files, for the follow state's saver.
  RunStateWriter& StateWriter() { return stateWriter_; }

  // The one-line answer to a status query, without the show count.
  std::string StatusAnswerText() const;

  // The progress readout and its offer to go on (not controls of the form).
  QLabel* Readout() const { return readout_; }
  QPushButton* ResumeButton() const { return resumeButton_; }
  QPushButton* RetryFailedButton() const { return retryButton_; }

  // The requests at once (not a control of the form either: its value lives
  // in the program's own settings file). Setting it tells the engine and
  // calls no saver; a change by the user is passed to the saver.
  QSpinBox* RequestsBox() const { return requestsBox_; }
  void SetRequestsAtOnce(int count);
  void SetRequestsSaver(std::function<void(int)> saver) { requestsSaver_ = std::move(saver); }

  // Asked by a start click before a range run starts: true when it started
  // another kind of run instead (a follow run).
  void SetStartOverride(std::function<bool()> start) { startOverride_ = std::move(start); }
  // A click on the start button, as the user's.
  void ClickStart() { StartClicked(); }

  ResultsModel& Model() const { return *model_; }
  QTableView* ResultsView() const { return ui_.results; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void SetUpResultsList();
  void SetUpStatusBox();
  void ConnectEvents();
  void CentreOnPrimaryScreen();
  void SetUpKeyboard();
  void AppendStatusText(const std::string& gbk);
  void SetStartCaption(bool running);
  void SetUpReadout();
  void SetUpRequestsBox();
  void ShowReadout();
  void ResumeClicked();
  void RetryFailedClicked();

  // The first step of a close: while a table export is being written the
  // close waits for it. The status box says so, the window stays usable and
  // closes itself when the file is done. True while the close is put off.
  bool WaitForExportBeforeClose();

  void StartClicked();
  void ExportClicked(bool newOnly = false);
  void SetUpListActions();
  void UpdateListActions();
  bool ListBusy() const;
  void CopySelectedRows();
  void DeleteSelectedRows();
  // A deletion goes in steps of kDeleteStepRows, each after the events that
  // came meanwhile, so a large one never stalls the window; a close finishes it.
  void DeleteNextRows();
  void FinishDeletion();
  void ClearList();
  void UpdateClicked();
  void ResultsDoubleClicked();

  Collector& collector_;
  BrowserLauncher& launcher_;
  std::vector<QWidget*> widgets_;
  double scale_ = 1;  // the form's places at the font's DPI (FormScale)
  WindowControls ui_;
  ResultsModel* model_ = nullptr;
  QTimer* refresh_ = nullptr;
  std::function<void()> closeHook_;
  SaveFileDialog saveFileDialog_;
  // Writes a table export while the window goes on; the export button stays
  // disabled until it is done.
  std::thread exportThread_;
  bool closeAfterExport_ = false;  // a close waits for the export

  QLabel* readout_ = nullptr;
  QPushButton* resumeButton_ = nullptr;
  QPushButton* retryButton_ = nullptr;
  std::optional<std::int64_t> resumeOffer_;
  // The offer the user took, and the longest stretch without a shop known on
  // the way to it: a start from that number begins with it.
  std::optional<std::int64_t> resumeTaken_;
  std::int64_t resumeNoShop_ = 0;
  RateMeter rate_;
  std::optional<SavedRun> saved_;
  RunStateWriter stateWriter_{collector_};
  std::function<bool()> startOverride_;
  QSpinBox* requestsBox_ = nullptr;
  std::function<void(int)> requestsSaver_;

  ResultsKeeper* keeper_ = nullptr;
  std::function<bool(const QString&)> confirm_;
  QAction* copyAction_ = nullptr;
  QAction* openAction_ = nullptr;
  QAction* deleteAction_ = nullptr;
  QAction* clearAction_ = nullptr;
  QAction* exportNewAction_ = nullptr;
  static constexpr int kDeleteStepRows = 5000;
  std::vector<std::pair<int, int>> deletion_;  // rows still to delete, top to bottom
};

}  // namespace dt::shell
