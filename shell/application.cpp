#include "shell/application.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "collect/collector.h"
#include "collect/run_report.h"
#include "collect/shop_task.h"
#include "collect/worker_pool.h"
#include "files/file_io.h"
#include "files/user_folders.h"
#include "results/results_keeper.h"
#include "settings/control_states.h"
#include "settings/ini_file.h"
#include "shell/main_window.h"
#include "shell/open_address.h"
#include "shell/program_settings.h"
#include "shell/qt_savable_controls.h"
#include "shell/single_instance.h"
#include "shoppage/fetch_page.h"
#include "text/failure_log.h"
#include "text/gbk_codec.h"

#include <fcntl.h>
#include <unistd.h>

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

// The settings live in the default file under the program's own section; the
// status box is a log, not a setting.
constexpr std::string_view kSettingsSection = "Dovetrail";
constexpr std::string_view kSettingsSkipList =
    "\xB1\xE0\xBC\xAD\xBF\xF2\xCC\xE1\xCA\xBE/";  // 编辑框提示/
// The results list, kept beside them.
constexpr char kResultsFileName[] = "results.sqlite";
// How long the end of the program waits for the last rows to reach the file.
constexpr std::chrono::seconds kLastCommitLimit{10};

// Every way the program ends passes here before the process ends: rows the
// engine found and the user's changes to the list still waiting for their
// batch are committed.
void CommitPendingRows(ResultsKeeper& keeper) {
  if (!keeper.Commit(kLastCommitLimit)) {
    std::fputs("dovetrail: the last rows of the results list could not be kept\n", stderr);
  }
}

// Where the latest run stood, in the user's data folder: never in the
// settings file, whose keys are the form's controls alone.
constexpr char kRunStateFileName[] = "run-progress.txt";
// The numbers whose page could not be read, beside it.
constexpr char kFailedNumbersFileName[] = "failed-numbers.txt";

// The run a state file from an earlier start remembers; nothing for a file
// that is missing, too long or not ours.
std::optional<SavedRun> ReadSavedRun(const std::string& path) {
  std::string text;
  if (ReadWholeFile(FsPath(path), text, kMaxRunStateFileBytes) != ReadStatus::Ok) return {};
  return ParseRunStateFile(text);
}

// A logout, a shutdown, a plain kill or Ctrl+C in a terminal ends the program
// as the window's close box does, so the settings and the run's resume point
// are saved. The handler, which may run on any thread, only writes a byte
// into a pipe; the window thread reads it and closes the window.
int gSignalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // A full pipe already holds a close request.
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

void CloseOnTerminationSignals(QWidget* window) {
  // Without the pipe the signals keep their default: the program ends unsaved.
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, window);
  QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
    char bytes[16];
    while (::read(gSignalPipe[0], bytes, sizeof bytes) > 0) {
    }
    // Also ends a dialog the window may have open, whose own event loop would
    // otherwise keep the program waiting for the user. A close put off until
    // an export is written keeps the loops: the window closes itself when the
    // file is done, and the program ends with its last window.
    if (window->close()) QCoreApplication::exit(0);
  });
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) (void)::sigaction(signal, &action, nullptr);
}

void RunDovetrail(int argc, char** argv, const StartupHooks& hooks) {
  // The HTTP client is prepared before any thread exists.
  InitPageFetcher();
  SetFailureSink(LogFailure);
  // Program-wide state. None of it is ever destroyed: task threads of a run
  // may still use it when the process ends.
  // The program reads no command line, and the toolkit is given none either:
  // only the program's own name, so no option can change the window or stop
  // the start. The count must live as long as the application object.
  static int toolkitArgc = argc > 0 ? 1 : 0;
  auto* app = new QApplication(toolkitArgc, argv);
  auto* pool = new WorkerPool;

  // One copy at a time: a later copy has asked the running one to come to the
  // front and ends here, before it ever shows a window.
  auto* instance = new SingleInstance;
  if (!instance->Claim()) std::_Exit(0);

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
  // Without a data folder (no HOME) the list lives in memory only, as the
  // keeper without a path keeps it.
  const std::string dataFolderPath = UserFolderPath(UserFolder::Data);
  auto* keeper =
      new ResultsKeeper(dataFolderPath.empty() ? std::string() : dataFolderPath + kResultsFileName);
  config.rowSink = keeper;
  auto* collector = new Collector(*pool, runLock, std::move(config));
  // The writer thread loads the kept rows into the list and shows what it
  // commits; it says in the status box what went wrong with the file.
  keeper->Start(
      {[collector](std::vector<ShopRow>&& rows) { collector->Results().Put(std::move(rows)); },
       [collector](std::string_view line) { collector->Status().AppendStatusLine(line); }});
  auto* launcher = new SystemBrowserLauncher;
  auto* window = new MainWindow(*collector, *launcher);
  window->SetResultsKeeper(keeper);

  // The window serves no input before its saved state is back and the
  // engine's mirrors of the boxes agree with what it shows.
  RestoreControlStates(Pointers(window->Controls()), "", kSettingsSection, kSettingsSkipList);
  window->SyncEngineMirrors();
  // The requests at once live apart from the form's settings file.
  KeepRequestsAtOnceIn(*window, ProgramSettingsPath());
  if (const std::string dataFolder = UserFolderPath(UserFolder::Data); !dataFolder.empty()) {
    const std::string runStatePath = dataFolder + kRunStateFileName;
    window->SetSavedRun(ReadSavedRun(runStatePath));
    window->SetRunStateSaver([dataFolder, runStatePath](const std::string& text) {
      // A file that cannot be written costs the resume point of the next
      // start, nothing else.
      if (MakeFolders(FsPath(dataFolder))) (void)ReplaceFile(FsPath(runStatePath), text);
    });
    const std::string failedPath = dataFolder + kFailedNumbersFileName;
    std::string failedText;
    if (ReadWholeFile(FsPath(failedPath), failedText, kMaxFailedNumbersFileBytes) ==
        ReadStatus::Ok) {
      collector->Run().SetFailedNumbers(ParseFailedNumbersFile(failedText));
    }
    window->SetFailedListSaver([dataFolder, failedPath](const std::string& text) {
      // The list stays in the window's figures; a file that cannot be
      // written is said in the failure log and tried again at the next change.
      if (!MakeFolders(FsPath(dataFolder)) || !ReplaceFile(FsPath(failedPath), text)) {
        ReportFailure(FailureArea::Files, "the failed numbers could not be kept in " + failedPath);
      }
    });
  }
  if (!logFolder.empty() && logFolder != programFolder) {
    collector->Status().AppendStatusLine(std::string(kShopLogMovedMessage) + shopLogName);
  }
  window->SetCloseHook([window] {
    // The window is going away: there is nobody left to tell in the window, so
    // a failed save is said on the standard error stream.
    if (!SaveControlStates(Pointers(window->Controls()), "", kSettingsSection, kSettingsSkipList)) {
      std::fputs("dovetrail: the settings could not be saved\n", stderr);
    }
  });
  instance->SetShowRequestHandler([window] { ShowToFront(window); });
  instance->SetStatusProvider([window] { return window->StatusAnswerText(); });

  CloseOnTerminationSignals(window);
  window->show();
  if (hooks.afterShow) hooks.afterShow(*window);
  app->exec();
  // Whichever way the loop ended, the run takes no new number while the last
  // rows are committed.
  collector->Run().Stop();
  CommitPendingRows(*keeper);
  // The rows committed now no longer hold the resume point back.
  window->SaveRunState(true);

  // End at once: tasks still running are not waited for, and nothing they
  // might touch is destroyed.
  std::fflush(nullptr);
  std::_Exit(0);
}

}  // namespace dt::shell
