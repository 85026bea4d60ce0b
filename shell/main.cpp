// Dovetrail: one window that collects newly opened marketplace shops.
#include <QGuiApplication>

#include "shell/application.h"

int main(int argc, char** argv) {
  // The desktop entry's name, so a Wayland desktop matches the window to the
  // menu entry and its icon (X11 matches on the window class instead).
  QGuiApplication::setDesktopFileName(QStringLiteral(DT_APP_ID));
  dt::shell::RunDovetrail(argc, argv);
}
