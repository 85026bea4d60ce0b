// When the run's state files are written: at most once a second while their
// text changes, at once on a stop and at the end of the program. The window
// and the headless start share it; the savers do the writing.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "collect/collector.h"
#include "collect/run_report.h"

namespace dt::shell {

class RunStateWriter {
 public:
  using Saver = std::function<void(const std::string& text)>;

  explicit RunStateWriter(Collector& collector) : collector_(collector) {}

  // The run-state file (resume point): nothing is stored before the first
  // run of this start, nor for a run over the failed list.
  void SetRunStateSaver(Saver saver) { runStateSaver_ = std::move(saver); }
  // The failed list, whenever it changed; the list as it stands now is taken
  // to be on disk already.
  void SetFailedListSaver(Saver saver);
  // The follow state: text() gives the file's text, empty while there is
  // nothing of a follow run to keep.
  void SetFollowStateSaver(std::function<std::string()> text, Saver saver);
  // The run-state text already on disk, so an unchanged one is not written.
  void SetSavedRun(const std::optional<SavedRun>& saved);
  void SetSavedFollowState(std::string text) { lastFollowState_ = std::move(text); }

  // now: a stop or the end; otherwise at most once a second.
  void Save(bool now);

 private:
  Collector& collector_;
  Saver runStateSaver_;
  Saver failedListSaver_;
  Saver followStateSaver_;
  std::function<std::string()> followStateText_;
  std::string lastSavedRunState_;
  std::string lastFollowState_;
  std::uint64_t savedFailedListVersion_ = 0;
  std::chrono::steady_clock::time_point lastSave_{};
};

}  // namespace dt::shell
