#include "shell/open_address.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "text/gbk_codec.h"

namespace dt::shell {

void SystemBrowserLauncher::OpenDefault(const std::string& url) {
  QDesktopServices::openUrl(QUrl(QString::fromStdString(url), QUrl::TolerantMode));
}

bool SystemBrowserLauncher::StartBrowser(const std::string& url) {
  // The address is the program's one argument; one starting with "-" would be
  // taken for an option, so that goes to the default browser instead.
  if (url.empty() || url.front() == '-') return false;
  return QProcess::startDetached(QStringLiteral("x-www-browser"), {QString::fromStdString(url)});
}

void OpenAddress(BrowserLauncher& launcher, std::string_view addressGbk, bool useBrowser) {
  const std::string url =
      addressGbk.empty() ? std::string(kDefaultPageAddress) : GbkToUtf8(addressGbk);
  if (useBrowser && launcher.StartBrowser(url)) return;
  launcher.OpenDefault(url);
}

std::string UpdatePageAddress(const std::string& programFolder) {
  const QDir program(QString::fromStdString(programFolder));
  for (const QString& path : {program.absoluteFilePath(QStringLiteral(DT_README_FROM_PROGRAM)),
                              QStringLiteral(DT_SOURCE_README)}) {
    if (QFileInfo(path).isFile()) {
      return QUrl::fromLocalFile(QDir::cleanPath(path)).toString().toStdString();
    }
  }
  return {};
}

}  // namespace dt::shell
