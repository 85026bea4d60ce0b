// The window's controls for following the newest shops: the check box
// 跟踪新店 that makes the start button start a follow run, and the wait
// between polls. Both live in dovetrail.conf ([follow]), not in the form's
// settings file. The news of each poll reaches the desktop (NewShopNotices);
// a click on it shows the new shops selected in the list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class QCheckBox;
class QSpinBox;

namespace dt {
class Collector;
}

namespace dt::shell {

class MainWindow;
class NewShopNotices;
struct ProgramCore;

class FollowControls {
 public:
  // Places the controls beside the start button, shows the file's values
  // and writes every change back; the start button asks StartIfChecked first.
  FollowControls(MainWindow& window, Collector& collector, ProgramCore& core,
                 std::string settingsPath);

  QCheckBox* FollowBox() const { return followBox_; }
  QSpinBox* PollBox() const { return pollBox_; }
  NewShopNotices& Notices() const { return *notices_; }

  // With the box ticked, starts a follow run and says true.
  bool StartIfChecked();
  // Goes on with the follow run a copy without a window handed over: the box
  // ticked and the run started once the kept rows are loaded.
  void TakeOverFollowRun();
  // The follow state file's text (empty: nothing to keep).
  std::string StateText() const;

  // Brings the window up with the rows of these shops selected.
  void ShowShops(const std::vector<std::int64_t>& numbers);

 private:
  void Save();

  MainWindow& window_;
  Collector& collector_;
  ProgramCore& core_;
  std::string settingsPath_;
  QCheckBox* followBox_ = nullptr;
  QSpinBox* pollBox_ = nullptr;
  NewShopNotices* notices_ = nullptr;
};

}  // namespace dt::shell
