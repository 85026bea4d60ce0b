#include "shell/program_settings.h"

#include <QSettings>
#include <QString>
#include <QVariant>
#include <algorithm>

#include "collect/request_slots.h"
#include "files/file_io.h"
#include "files/user_folders.h"
#include "shell/main_window.h"
#include "text/failure_log.h"

namespace dt::shell {
namespace {

const QString kRequestsKey = QStringLiteral("network/requests");
const QString kFollowKey = QStringLiteral("follow/on");
const QString kPollKey = QStringLiteral("follow/poll");

// The file's folder made first: a fresh account has no configuration folder.
bool MakeFileFolder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos || MakeFolders(FsPath(path.substr(0, slash + 1)));
}

}  // namespace

std::string ProgramSettingsPath() {
  const std::string folder = UserFolderPath(UserFolder::Config);
  return folder.empty() ? std::string() : folder + kProgramSettingsFileName;
}

int ReadRequestsAtOnce(const std::string& path) {
  if (path.empty()) return 1;
  const QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
  bool number = false;
  const int count = settings.value(kRequestsKey).toString().trimmed().toInt(&number);
  return number && count >= 1 && count <= RequestSlots::kMostAtOnce ? count : 1;
}

bool WriteRequestsAtOnce(const std::string& path, int count) {
  if (path.empty() || !MakeFileFolder(path)) return false;
  QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
  settings.setValue(kRequestsKey, count);
  settings.sync();
  return settings.status() == QSettings::NoError;
}

void KeepRequestsAtOnceIn(MainWindow& window, const std::string& path) {
  window.SetRequestsAtOnce(ReadRequestsAtOnce(path));
  window.SetRequestsSaver([path](int count) {
    // The setting stays in force for this start; the failure log says why
    // the next start will not have it.
    if (!WriteRequestsAtOnce(path, count)) {
      ReportFailure(FailureArea::Files, "the requests at once could not be kept in " + path);
    }
  });
}

FollowConfig ReadFollowSettings(const std::string& path) {
  FollowConfig follow;
  if (path.empty()) return follow;
  const QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
  follow.on = settings.value(kFollowKey).toString().trimmed().toLower() == QStringLiteral("true");
  bool number = false;
  const qlonglong poll = settings.value(kPollKey).toString().trimmed().toLongLong(&number);
  if (number) {
    follow.pollSeconds = static_cast<int>(std::clamp<qlonglong>(
        poll, FollowConfig::kLeastPollSeconds, FollowConfig::kMostPollSeconds));
  }
  return follow;
}

bool WriteFollowSettings(const std::string& path, const FollowConfig& follow) {
  if (path.empty() || !MakeFileFolder(path)) return false;
  QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
  settings.setValue(kFollowKey, follow.on);
  settings.setValue(kPollKey, follow.pollSeconds);
  settings.sync();
  return settings.status() == QSettings::NoError;
}

}  // namespace dt::shell
