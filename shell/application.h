// The program from process start to process end, with its window or without.
#pragma once

#include <functional>

class QObject;
class QWidget;

namespace dt::shell {

struct HeadlessOptions;

struct StartupHooks {
  // Runs on the window thread once the main window is shown (test drivers).
  std::function<void(QWidget& window)> afterShow;
};

// SIGTERM, SIGINT and SIGHUP call stop on context's thread (once per burst of
// signals). The handler only writes a byte into a pipe; the thread reads it.
void CallOnTerminationSignals(QObject* context, std::function<void()> stop);

// SIGTERM, SIGINT and SIGHUP close the window as its close box does, and then
// end the event loops, a dialog's too. A close the window puts off (an export
// being written) leaves them running: the window closes itself later, and
// the program ends with it.
void CloseOnTerminationSignals(QWidget* window);

// Start-up: the one-copy rule (a later copy asks the running one to show
// itself and ends with 0; a copy without a window hands over to this one),
// the engine, the main window with its settings restored, the event loop; the
// close saves the settings. Of the command line only argv[0] is used (not
// even the toolkit reads options). Never returns: the process ends with 0 at
// once, without waiting for the run's task threads.
[[noreturn]] void RunDovetrail(int argc, char** argv, const StartupHooks& hooks = {});

// The same program without a window and without a display: the run the
// options ask for (else the one the window's start button would start), its
// status lines on the standard output. Ends with 1 when another copy runs;
// a stop signal or a window started later ends it with 0, its state saved.
[[noreturn]] void RunHeadless(int argc, char** argv, const HeadlessOptions& options);

}  // namespace dt::shell
