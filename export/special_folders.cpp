#include "export/special_folders.h"

#include <QDir>
#include <QStandardPaths>
#include <QString>

namespace dt {
namespace {

QString Writable(QStandardPaths::StandardLocation location) {
  return QStandardPaths::writableLocation(location);
}

QString FolderOf(int index) {
  switch (index) {
    case 0:
      return Writable(QStandardPaths::TemplatesLocation);
    case 1:
      return Writable(QStandardPaths::DocumentsLocation);
    case 2:
      return Writable(QStandardPaths::DesktopLocation);
    case 4:
#ifdef Q_OS_WIN
      // The start menu holds the programs folder.
      return QDir::cleanPath(Writable(QStandardPaths::ApplicationsLocation) + "/..");
#else
      return {};
#endif
    case 5:
#ifdef Q_OS_WIN
      return Writable(QStandardPaths::ApplicationsLocation) + "/Startup";
#else
    {
      // The desktop's autostart folder plays the part of the startup folder.
      const QString config = Writable(QStandardPaths::GenericConfigLocation);
      return config.isEmpty() ? QString() : config + "/autostart";
    }
#endif
    case 6:
      return Writable(QStandardPaths::ApplicationsLocation);
    default:  // 3 Favorites has no counterpart here; other indexes name nothing
      return {};
  }
}

}  // namespace

std::string ShellFolderPath(int index) {
  std::string path = QDir::fromNativeSeparators(FolderOf(index)).toStdString();
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

}  // namespace dt
