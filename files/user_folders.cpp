#include "files/user_folders.h"

#include <QDir>
#include <QStandardPaths>
#include <QString>

#include "files/file_io.h"

namespace dt {
namespace {

QString Writable(QStandardPaths::StandardLocation location) {
  return QStandardPaths::writableLocation(location);
}

// Without a home folder the standard locations fall back to the file-system
// root, where nothing of the user's belongs.
bool HomeKnown() {
#ifdef Q_OS_WIN
  return true;
#else
  return !qEnvironmentVariableIsEmpty("HOME");
#endif
}

QString FolderOf(UserFolder folder) {
  switch (folder) {
    case UserFolder::Documents:
      return Writable(QStandardPaths::DocumentsLocation);
    case UserFolder::Desktop:
      return Writable(QStandardPaths::DesktopLocation);
    case UserFolder::Templates:
      return Writable(QStandardPaths::TemplatesLocation);
    case UserFolder::Applications:
      return Writable(QStandardPaths::ApplicationsLocation);
    case UserFolder::Autostart: {
#ifdef Q_OS_WIN
      return Writable(QStandardPaths::ApplicationsLocation) + "/Startup";
#else
      const QString config = Writable(QStandardPaths::GenericConfigLocation);
      return config.isEmpty() ? QString() : config + "/autostart";
#endif
    }
    case UserFolder::Data: {
      // Named after the program, not after whatever the application object is called.
      const QString data = Writable(QStandardPaths::GenericDataLocation);
      return data.isEmpty() ? QString() : data + "/dovetrail";
    }
    case UserFolder::Config: {
      const QString config = Writable(QStandardPaths::GenericConfigLocation);
      return config.isEmpty() ? QString() : config + "/dovetrail";
    }
  }
  return {};
}

}  // namespace

std::string UserFolderPath(UserFolder folder) {
  if (!HomeKnown()) return {};
  std::string path = QDir::fromNativeSeparators(FolderOf(folder)).toStdString();
  if (path.empty()) return {};
  if (path.back() != '/') path.push_back('/');
  return path;
}

std::string WritableProgramFolder(const std::string& preferred) {
  if (!preferred.empty() && FolderWritable(FsPath(preferred))) {
    return preferred.back() == '/' ? preferred : preferred + "/";
  }
  const std::string data = UserFolderPath(UserFolder::Data);
  if (data.empty()) return {};
  // A folder that cannot be made shows up as a failed write later.
  (void)MakeFolders(FsPath(data));
  return data;
}

}  // namespace dt
