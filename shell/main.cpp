// Dovetrail: one window that collects newly opened marketplace shops, or the
// same program without a window (--headless).
#include <QGuiApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "shell/application.h"
#include "shell/headless_options.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  const dt::shell::HeadlessOptions options = dt::shell::ParseHeadlessOptions(args);
  if (!options.error.empty()) {
    std::fprintf(stderr, "dovetrail: %s\n(dovetrail --help lists the options)\n",
                 options.error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(dt::shell::HeadlessUsage().c_str(), stdout);
    return 0;
  }
  if (options.headless) dt::shell::RunHeadless(argc, argv, options);
  // The desktop entry's name, so a Wayland desktop matches the window to the
  // menu entry and its icon (X11 matches on the window class instead).
  QGuiApplication::setDesktopFileName(QStringLiteral(DT_APP_ID));
  dt::shell::RunDovetrail(argc, argv);
}
