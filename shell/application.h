// The program from process start to process end.
#pragma once

#include <functional>

class QWidget;

namespace dt::shell {

struct StartupHooks {
  // Runs on the window thread once the main window is shown (test drivers).
  std::function<void(QWidget& window)> afterShow;
};

// SIGTERM, SIGINT and SIGHUP close the window as its close box does, and then
// end the event loops, a dialog's too. A close the window puts off (an export
// being written) leaves them running: the window closes itself later, and
// the program ends with it.
void CloseOnTerminationSignals(QWidget* window);

// Start-up: the one-copy rule (a later copy asks the running one to show
// itself and ends with 0), the engine, the main window with its settings
// restored, the event loop; the close saves the settings. Of the command line
// only argv[0] is used (not even the toolkit reads options). Never returns: the
// process ends with 0 at once, without waiting for the run's task threads.
[[noreturn]] void RunDovetrail(int argc, char** argv, const StartupHooks& hooks = {});

}  // namespace dt::shell
