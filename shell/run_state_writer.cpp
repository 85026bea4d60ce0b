#include "shell/run_state_writer.h"

namespace dt::shell {

void RunStateWriter::SetFailedListSaver(Saver saver) {
  failedListSaver_ = std::move(saver);
  savedFailedListVersion_ = collector_.Run().FailedNumbersVersion();
}

void RunStateWriter::SetFollowStateSaver(std::function<std::string()> text, Saver saver) {
  followStateText_ = std::move(text);
  followStateSaver_ = std::move(saver);
}

void RunStateWriter::SetSavedRun(const std::optional<SavedRun>& saved) {
  if (saved) lastSavedRunState_ = RunStateFileText(*saved);
}

void RunStateWriter::Save(bool now) {
  // The clock first: most refresh ticks end here without asking the engine.
  const auto at = std::chrono::steady_clock::now();
  if (!now && at - lastSave_ < std::chrono::seconds(1)) return;
  bool wrote = false;
  if (failedListSaver_) {
    const std::uint64_t version = collector_.Run().FailedNumbersVersion();
    if (version != savedFailedListVersion_) {
      failedListSaver_(FailedNumbersFileText(collector_.Run().FailedNumbers()));
      savedFailedListVersion_ = version;
    }
  }
  if (followStateSaver_ && followStateText_) {
    std::string text = followStateText_();
    if (!text.empty() && text != lastFollowState_) {
      followStateSaver_(text);
      lastFollowState_ = std::move(text);
      wrote = true;
    }
  }
  const RunProgress progress = collector_.Run().Progress();
  // Idle: the file's run is still the latest. A run over the failed list or
  // a follow run is no place in a range: the file keeps the range run's point.
  if (runStateSaver_ && progress.state != RunState::Idle && progress.listSize == 0 &&
      progress.mode == RunMode::Range) {
    std::string text = RunStateFileText(SavedRunOf(progress));
    if (text != lastSavedRunState_) {
      runStateSaver_(text);
      lastSavedRunState_ = std::move(text);
      wrote = true;
    }
  }
  if (wrote) lastSave_ = at;
}

}  // namespace dt::shell
