#include "shell/application.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "settings/control_states.h"
#include "shell/follow_controls.h"
#include "shell/main_window.h"
#include "shell/open_address.h"
#include "shell/program_core.h"
#include "shell/program_settings.h"
#include "shell/qt_savable_controls.h"
#include "shell/single_instance.h"

#include <fcntl.h>
#include <unistd.h>

namespace dt::shell {
namespace {

// The settings live in the default file under the program's own section; the
// status box is a log, not a setting.
constexpr std::string_view kSettingsSection = "Dovetrail";
constexpr std::string_view kSettingsSkipList =
    "\xB1\xE0\xBC\xAD\xBF\xF2\xCC\xE1\xCA\xBE/";  // 编辑框提示/

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

void CallOnTerminationSignals(QObject* context, std::function<void()> stop) {
  // Without the pipe the signals keep their default: the program ends unsaved.
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context, [stop = std::move(stop)] {
    char bytes[16];
    while (::read(gSignalPipe[0], bytes, sizeof bytes) > 0) {
    }
    stop();
  });
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) (void)::sigaction(signal, &action, nullptr);
}

void CloseOnTerminationSignals(QWidget* window) {
  CallOnTerminationSignals(window, [window] {
    // Also ends a dialog the window may have open, whose own event loop would
    // otherwise keep the program waiting for the user. A close put off until
    // an export is written keeps the loops: the window closes itself when the
    // file is done, and the program ends with its last window.
    if (window->close()) QCoreApplication::exit(0);
  });
}

void RunDovetrail(int argc, char** argv, const StartupHooks& hooks) {
  // The HTTP client is prepared before any thread exists.
  PrepareProcess();
  // Program-wide state. None of it is ever destroyed: task threads of a run
  // may still use it when the process ends.
  // The program reads no command line, and the toolkit is given none either:
  // only the program's own name, so no option can change the window or stop
  // the start. The count must live as long as the application object.
  static int toolkitArgc = argc > 0 ? 1 : 0;
  auto* app = new QApplication(toolkitArgc, argv);

  // One copy at a time: a later copy has asked the running one to come to the
  // front and ends here, before it ever shows a window. A running copy
  // without a window has handed over to this one instead.
  auto* instance = new SingleInstance;
  if (!instance->Claim()) std::_Exit(0);

  ProgramCore& core = StartProgramCore();
  Collector& collector = *core.collector;
  auto* launcher = new SystemBrowserLauncher;
  auto* window = new MainWindow(collector, *launcher);
  window->SetResultsKeeper(core.keeper);

  // The window serves no input before its saved state is back and the
  // engine's mirrors of the boxes agree with what it shows.
  RestoreControlStates(Pointers(window->Controls()), "", kSettingsSection, kSettingsSkipList);
  window->SyncEngineMirrors();
  // The requests at once and following live apart from the form's settings.
  KeepRequestsAtOnceIn(*window, ProgramSettingsPath());
  auto* follow = new FollowControls(*window, collector, core, ProgramSettingsPath());
  window->SetSavedRun(core.savedRun);
  KeepStateFiles(core, window->StateWriter(), [follow] { return follow->StateText(); });
  if (!core.startNote.empty()) collector.Status().AppendStatusLine(core.startNote);
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
  // A copy without a window that was following has handed its run over.
  if (instance->HandedOver() == "follow") follow->TakeOverFollowRun();
  if (hooks.afterShow) hooks.afterShow(*window);
  app->exec();
  // Whichever way the loop ended, the run takes no new number while the last
  // rows are committed; the rows committed then no longer hold the resume
  // point back, so the run state is saved once more after them.
  EndProgram(core, 0, [window] { window->SaveRunState(true); });
}

}  // namespace dt::shell
