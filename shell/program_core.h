// What the window and the headless start share: the engine, the results
// file's keeper, the shop log, the state files and the end of the program.
// Built once, after the one-copy check, and never destroyed: task threads of
// a run may still use it when the process ends.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "collect/collector.h"
#include "collect/run_report.h"
#include "collect/worker_pool.h"
#include "results/results_keeper.h"

namespace dt::shell {

class RunStateWriter;

struct ProgramCore {
  WorkerPool* pool = nullptr;
  Collector* collector = nullptr;
  ResultsKeeper* keeper = nullptr;
  // The user's data folder ("/" at its end); empty without a home, and then
  // no state file is read or written.
  std::string dataFolder;
  std::optional<SavedRun> savedRun;  // the run-state file of an earlier start
  std::string savedFollowState;      // the follow state file's text, unparsed
  // A status line for the start (the shop log kept in the data folder), GBK;
  // empty when there is nothing to say.
  std::string startNote;
};

// Before any thread exists: the HTTP client, the failure log.
void PrepareProcess();

// The engine and its files. The keeper's writer thread starts here; found
// shops and the keeper's notes reach the engine's list and status log.
ProgramCore& StartProgramCore();

// Makes writer keep the state files in the core's data folder (nothing
// without one). followText gives the follow state's text (empty: nothing to
// keep).
void KeepStateFiles(ProgramCore& core, RunStateWriter& writer,
                    std::function<std::string()> followText);

// Starts a follow run. From `from` when given (nothing kept is used), else
// from the follow state kept (this start's latest follow run, else the file
// read at start), else from the highest shop in the list, else from
// rangeFirst. The range's last number does not limit it.
void StartFollowRun(ProgramCore& core, std::optional<std::int64_t> from, std::int64_t rangeFirst,
                    int pollSeconds);

// The follow state's file text: the latest follow run's state, empty when
// this start has run none.
std::string FollowStateFileText(const Collector& collector);

// The one-line answer to a status query, without the show count.
std::string StatusAnswerOf(Collector& collector, double rate, const std::optional<SavedRun>& saved);

// Every way the program ends passes here: the run takes no new number, the
// rows still waiting for their batch are committed, afterCommit runs (the run
// state saved once more, now that those rows no longer hold the resume point
// back), the streams are flushed, and the process ends at once with code,
// without waiting for the run's task threads.
[[noreturn]] void EndProgram(ProgramCore& core, int code,
                             const std::function<void()>& afterCommit = {});

}  // namespace dt::shell
