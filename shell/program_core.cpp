#include "shell/program_core.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "collect/shop_task.h"
#include "files/file_io.h"
#include "files/user_folders.h"
#include "settings/ini_file.h"
#include "shell/run_state_writer.h"
#include "shoppage/fetch_page.h"
#include "text/failure_log.h"
#include "text/gbk_codec.h"
#include "text/gbk_text.h"

namespace dt::shell {
namespace {

// Failures the program goes on after, one category per area; silent unless
// switched on, e.g. QT_LOGGING_RULES="dovetrail.*.warning=true".
Q_LOGGING_CATEGORY(lcFiles, "dovetrail.files", QtCriticalMsg)
Q_LOGGING_CATEGORY(lcFetch, "dovetrail.fetch", QtCriticalMsg)
Q_LOGGING_CATEGORY(lcRun, "dovetrail.run", QtCriticalMsg)

void LogFailure(FailureArea area, std::string_view message) {
  const QString text = QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size()));
  switch (area) {
    case FailureArea::Files:
      qCWarning(lcFiles).noquote() << text;
      break;
    case FailureArea::Fetch:
      qCWarning(lcFetch).noquote() << text;
      break;
    case FailureArea::Run:
      qCWarning(lcRun).noquote() << text;
      break;
  }
}

// The results list, in the data folder.
constexpr char kResultsFileName[] = "results.sqlite";
// How long the end of the program waits for the last rows to reach the file.
constexpr std::chrono::seconds kLastCommitLimit{10};
// Where the latest run stood, in the user's data folder: never in the
// settings file, whose keys are the form's controls alone.
constexpr char kRunStateFileName[] = "run-progress.txt";
// The numbers whose page could not be read, beside it.
constexpr char kFailedNumbersFileName[] = "failed-numbers.txt";
// Where a follow run stands, beside them.
constexpr char kFollowStateFileName[] = "follow-state.txt";

// The run a state file from an earlier start remembers; nothing for a file
// that is missing, too long or not ours.
std::optional<SavedRun> ReadSavedRun(const std::string& path) {
  std::string text;
  if (ReadWholeFile(FsPath(path), text, kMaxRunStateFileBytes) != ReadStatus::Ok) return {};
  return ParseRunStateFile(text);
}

}  // namespace

void PrepareProcess() {
  InitPageFetcher();
  SetFailureSink(LogFailure);
}

ProgramCore& StartProgramCore() {
  auto* core = new ProgramCore;
  core->pool = new WorkerPool;
  RunLock& runLock = WorkerPool::CreateLock();
  // Beside the program, whatever the current folder is; in the user's data
  // folder when the program's folder is not the user's to write (an installed
  // program).
  const std::string programFolder = QCoreApplication::applicationDirPath().toStdString() + "/";
  const std::string logFolder = WritableProgramFolder(programFolder);
  const std::string shopLogPath =
      (logFolder.empty() ? programFolder : logFolder) + std::string(kShopLogFileName);
  auto* shopLog = new IniAppendWriter(shopLogPath);

  CollectorConfig config;
  config.fetchPage = [](std::string& address, FetchOutcome& outcome) {
    return FetchPage(address, outcome);
  };
  // Called under the run lock, so one entry is written at a time.
  config.writeShopLog = [shopLog](std::string_view key, std::string_view value) {
    return shopLog->Write(kShopLogSection, key, value);
  };
  const std::string shopLogName = Utf8ToGbk(shopLogPath);
  config.shopLogName = shopLogName;
  core->dataFolder = UserFolderPath(UserFolder::Data);
  // Without a data folder (no HOME) the list lives in memory only, as the
  // keeper without a path keeps it.
  core->keeper = new ResultsKeeper(core->dataFolder.empty() ? std::string()
                                                            : core->dataFolder + kResultsFileName);
  config.rowSink = core->keeper;
  auto* collector = new Collector(*core->pool, runLock, std::move(config));
  core->collector = collector;
  // The writer thread loads the kept rows into the list and shows what it
  // commits; it says in the status box what went wrong with the file.
  core->keeper->Start(
      {[collector](std::vector<ShopRow>&& rows) { collector->Results().Put(std::move(rows)); },
       [collector](std::string_view line) { collector->Status().AppendStatusLine(line); }});

  if (!core->dataFolder.empty()) {
    core->savedRun = ReadSavedRun(core->dataFolder + kRunStateFileName);
    std::string failedText;
    if (ReadWholeFile(FsPath(core->dataFolder + kFailedNumbersFileName), failedText,
                      kMaxFailedNumbersFileBytes) == ReadStatus::Ok) {
      collector->Run().SetFailedNumbers(ParseFailedNumbersFile(failedText));
    }
    // Parsed by the engine, which trusts none of it.
    if (ReadWholeFile(FsPath(core->dataFolder + kFollowStateFileName), core->savedFollowState,
                      kMaxFollowStateFileBytes) != ReadStatus::Ok) {
      core->savedFollowState.clear();
    }
  }
  if (!logFolder.empty() && logFolder != programFolder) {
    core->startNote = std::string(kShopLogMovedMessage) + shopLogName;
  }
  return *core;
}

void KeepStateFiles(ProgramCore& core, RunStateWriter& writer,
                    std::function<std::string()> followText) {
  writer.SetSavedRun(core.savedRun);
  writer.SetSavedFollowState(core.savedFollowState);
  const std::string dataFolder = core.dataFolder;
  if (dataFolder.empty()) return;
  const std::string runStatePath = dataFolder + kRunStateFileName;
  writer.SetRunStateSaver([dataFolder, runStatePath](const std::string& text) {
    // A file that cannot be written costs the resume point of the next
    // start, nothing else.
    if (MakeFolders(FsPath(dataFolder))) (void)ReplaceFile(FsPath(runStatePath), text);
  });
  const std::string failedPath = dataFolder + kFailedNumbersFileName;
  writer.SetFailedListSaver([dataFolder, failedPath](const std::string& text) {
    // The list stays in the window's figures; a file that cannot be
    // written is said in the failure log and tried again at the next change.
    if (!MakeFolders(FsPath(dataFolder)) || !ReplaceFile(FsPath(failedPath), text)) {
      ReportFailure(FailureArea::Files, "the failed numbers could not be kept in " + failedPath);
    }
  });
  const std::string followPath = dataFolder + kFollowStateFileName;
  writer.SetFollowStateSaver(
      std::move(followText), [dataFolder, followPath](const std::string& text) {
        // The follow run goes on; the next start would poll from an older point
        // and list nothing twice all the same, since the results file knows them.
        if (!MakeFolders(FsPath(dataFolder)) || !ReplaceFile(FsPath(followPath), text)) {
          ReportFailure(FailureArea::Files, "the follow state could not be kept in " + followPath);
        }
      });
}

void StartFollowRun(ProgramCore& core, std::optional<std::int64_t> from, std::int64_t rangeFirst,
                    int pollSeconds) {
  Collector& collector = *core.collector;
  std::optional<FollowState> saved;
  if (!from) {
    saved = collector.FollowSnapshot();
    if (!saved && !core.savedFollowState.empty()) saved = ParseFollowState(core.savedFollowState);
  }
  if (!from && !saved) {
    const std::vector<std::int64_t> numbers =
        collector.Results().Numbers(collector.Results().RowCount());
    if (!numbers.empty()) from = *std::max_element(numbers.begin(), numbers.end());
  }
  FollowSettings settings;
  settings.pollInterval =
      std::max<std::chrono::seconds>(std::chrono::seconds(pollSeconds), kLeastPollInterval);
  collector.StartFollow(from.value_or(rangeFirst), std::move(saved), settings);
}

std::string FollowStateFileText(const Collector& collector) {
  const std::optional<FollowState> state = collector.FollowSnapshot();
  return state ? FollowStateText(*state) : std::string();
}

std::string StatusAnswerOf(Collector& collector, double rate,
                           const std::optional<SavedRun>& saved) {
  const ResultsStore& store = collector.Results();
  return StatusAnswer(collector.Progress(), rate, saved) +
         " rows=" + ToText(static_cast<long long>(store.RowCount())) +
         " unexported=" + ToText(static_cast<long long>(store.UnexportedCount()));
}

void EndProgram(ProgramCore& core, int code, const std::function<void()>& afterCommit) {
  core.collector->Run().Stop();
  if (!core.keeper->Commit(kLastCommitLimit)) {
    std::fputs("dovetrail: the last rows of the results list could not be kept\n", stderr);
  }
  if (afterCommit) afterCommit();
  // End at once: tasks still running are not waited for, and nothing they
  // might touch is destroyed.
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace dt::shell
