#include "shell/single_instance.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QWidget>

namespace dt::shell {
namespace {

constexpr qsizetype kMaxRequestBytes = 64;
// An answer is one line of figures.
constexpr qsizetype kMaxAnswerBytes = 4096;
// Under the user's cache folder when there is no usable runtime folder.
constexpr char kCacheSubfolder[] = "dovetrail";

// A real directory (not a link to one) of this user's that nobody else may
// enter or change.
bool IsPrivateFolder(const QString& path) {
  if (path.isEmpty() || !QDir::isAbsolutePath(path)) return false;
#ifdef _WIN32
  return QFileInfo(path).isDir();
#else
  struct stat info {};
  if (::lstat(QFile::encodeName(path).constData(), &info) != 0) return false;
  return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 07777) == 0700;
#endif
}

// The cache folder's own subfolder, made private when it is new or ours.
QString PrivateCacheFolder() {
#ifndef _WIN32
  // Without a home, a cache folder would be made at the root.
  if (qEnvironmentVariableIsEmpty("HOME")) return {};
#endif
  const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
  if (cache.isEmpty() || !QDir().mkpath(cache)) return {};
  const QString folder = QDir(cache).filePath(QString::fromLatin1(kCacheSubfolder));
#ifndef _WIN32
  const QByteArray native = QFile::encodeName(folder);
  ::mkdir(native.constData(), 0700);  // an existing one is checked below
  struct stat info {};
  if (::lstat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
      info.st_uid == ::geteuid() && (info.st_mode & 07777) != 0700) {
    ::chmod(native.constData(), 0700);
  }
#else
  QDir().mkpath(folder);
#endif
  return IsPrivateFolder(folder) ? folder : QString();
}

}  // namespace

SingleInstance::SingleInstance(QString name, QString folder)
    : name_(std::move(name)), folder_(std::move(folder)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::PrivateFolder() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (IsPrivateFolder(runtime)) return runtime;
  return PrivateCacheFolder();
}

QString SingleInstance::LockFilePath() const {
  return QDir(folder_).filePath(name_ + QStringLiteral(".lock"));
}

QString SingleInstance::ServerName() const {
  return ServerNameIn(folder_, name_);
}

QString SingleInstance::ServerNameIn(const QString& folder, const QString& name) {
  // A full path: the socket lies in the folder, not in the temp folder.
  return QDir(folder).filePath(name);
}

bool SingleInstance::Claim(Ask ask) {
  if (folder_.isEmpty()) folder_ = PrivateFolder();
  // No folder of the user's own: no lock anywhere others could block.
  if (folder_.isEmpty()) return true;
  lock_ = std::make_unique<QLockFile>(LockFilePath());
  // Age never makes the lock stale: a copy may run for days. A lock whose
  // process is gone is taken over all the same.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) {
    Listen();
    return true;
  }
  if (lock_->error() != QLockFile::LockFailedError) {
    Listen();
    return true;
  }
  if (ask == Ask::Nothing) return false;
  // Another copy holds the lock. It may be busy, stopped or still starting:
  // one short request, and this copy ends whatever the answer, unless the
  // other copy has no window and hands over to this one.
  QByteArray answer;
  if (!SendRequest(ServerName(), QByteArrayLiteral("show\n"), &answer)) return false;
  constexpr QByteArrayView kHandOver = "handover ";
  if (!answer.startsWith(kHandOver)) return false;
  if (!lock_->tryLock(kHandOverMilliseconds)) return false;
  handedOver_ = answer.mid(kHandOver.size());
  Listen();
  return true;
}

void SingleInstance::Release() {
  if (server_) server_->close();
  if (lock_) lock_->unlock();
}

void SingleInstance::SetShowRequestHandler(std::function<void()> handler) {
  onShow_ = std::move(handler);
}

void SingleInstance::Listen() {
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  // A socket file left by a crashed copy would make listen() fail; we hold the
  // lock, so any such file is stale.
  QLocalServer::removeServer(ServerName());
  if (!server_->listen(ServerName())) return;
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] { Serve(); });
}

void SingleInstance::Serve() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
      // A request is one short line; anything longer is not ours.
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxRequestBytes) socket->abort();
        return;
      }
      const QByteArray request = socket->readLine(kMaxRequestBytes).trimmed();
      if (request == "show" && handOverWord_) {
        ++showRequests_;
        socket->write("handover " + handOverWord_() + "\n");
        socket->flush();
        // The answer leaves before this copy begins to end.
        QObject::connect(
            socket, &QLocalSocket::disconnected, server_.get(), [end = handOverEnd_] { end(); },
            Qt::QueuedConnection);
        socket->disconnectFromServer();
        return;
      } else if (request == "show") {
        ++showRequests_;
        if (onShow_) onShow_();
        socket->write("ok\n");
      } else if (request == "status") {
        QByteArray answer;
        if (statusProvider_) answer = QByteArray::fromStdString(statusProvider_()) + ' ';
        socket->write(answer + "shows=" + QByteArray::number(showRequests_) + "\n");
      } else {
        socket->write("?\n");
      }
      socket->flush();
      socket->disconnectFromServer();
    });
  }
}

bool SingleInstance::SendRequest(const QString& serverName, const QByteArray& request,
                                 QByteArray* answer, int timeoutMs) {
  const QDeadlineTimer deadline(timeoutMs);
  const auto left = [&deadline] { return static_cast<int>(deadline.remainingTime()); };
  QLocalSocket socket;
  socket.connectToServer(serverName);
  if (!socket.waitForConnected(left())) return false;
  socket.write(request);
  socket.flush();
  QByteArray reply;
  while (!reply.contains('\n') && reply.size() <= kMaxAnswerBytes && !deadline.hasExpired() &&
         socket.waitForReadyRead(left())) {
    reply += socket.readAll();
  }
  if (!reply.contains('\n')) return false;
  if (answer) *answer = reply.left(reply.indexOf('\n'));
  return true;
}

void ShowToFront(QWidget* window) {
  if (!window) return;
  if (window->isMinimized()) window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace dt::shell
