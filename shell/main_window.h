// The program's one window: the form's controls, the results list over the
// results store, the status box, and the event map that connects them to the
// collection engine, the export and the browser.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "collect/collector.h"
#include "settings/control_states.h"
#include "shell/results_view.h"

class QTimer;

namespace dt::shell {

class BrowserLauncher;
class ResultsModel;

class MainWindow : public QWidget {
 public:
  // Shows the engine's new rows, status text and run flag this often.
  static constexpr int kRefreshMilliseconds = 50;

  using SaveFileDialog = std::function<std::string(
      std::string_view filterGbk, std::string_view folder, std::string_view defaultNameGbk)>;

  MainWindow(Collector& collector, BrowserLauncher& launcher, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The form's widgets in form order, and one of them by its GBK name
  // (nullptr when the form has no such control).
  const std::vector<QWidget*>& FormWidgets() const { return widgets_; }
  QWidget* Control(std::string_view nameGbk) const;
  template <typename T>
  T* ControlAs(std::string_view nameGbk) const {
    return dynamic_cast<T*>(Control(nameGbk));
  }

  // The controls for SaveControlStates/RestoreControlStates, in form order.
  std::vector<std::unique_ptr<SavableControl>> Controls() const;

  // Runs when the window is asked to close (title bar, Esc), before it
  // closes; the close is always allowed.
  void SetCloseHook(std::function<void()> hook) { closeHook_ = std::move(hook); }

  // Replaces the save-file dialog of the export (tests). Without one, the
  // toolkit's dialog is shown.
  void SetSaveFileDialog(SaveFileDialog dialog) { saveFileDialog_ = std::move(dialog); }

  // Copies the last-number box and the two filter boxes into the engine's
  // mirrors, which task threads read. Runs on every change of those boxes;
  // call it after setting them by other means with their signals blocked.
  void SyncEngineMirrors();

  // Shows what the engine produced since the previous call: new rows, new
  // status text, the run flag as the start button's caption. The refresh
  // timer calls it.
  void ShowProgress();

  ResultsModel& Model() const { return *model_; }
  QTableView* ResultsView() const { return view_; }

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

  void StartClicked();
  void ExportClicked();
  void UpdateClicked();
  void ResultsDoubleClicked();

  Collector& collector_;
  BrowserLauncher& launcher_;
  std::vector<QWidget*> widgets_;
  ResultsModel* model_ = nullptr;
  ResultsTableView* view_ = nullptr;
  QTimer* refresh_ = nullptr;
  std::function<void()> closeHook_;
  SaveFileDialog saveFileDialog_;
};

}  // namespace dt::shell
