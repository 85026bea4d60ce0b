#include "shell/single_instance.h"

#include <unistd.h>

#include <QDir>
#include <QLocalSocket>
#include <QThread>
#include <QWidget>

namespace dt {
namespace {

constexpr int kConnectTimeoutMs = 500;
constexpr int kReplyTimeoutMs = 2000;
constexpr int kRetryPauseMs = 200;
constexpr qsizetype kMaxRequestBytes = 64;

QString UserSuffix() {
  return QStringLiteral("-%1").arg(static_cast<qulonglong>(::getuid()));
}

}  // namespace

SingleInstance::SingleInstance(QString name) : name_(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::LockFilePath() const {
  return QDir(QDir::tempPath()).filePath(name_ + UserSuffix() + QStringLiteral(".lock"));
}

QString SingleInstance::ServerName() const {
  return name_ + UserSuffix();
}

bool SingleInstance::Claim() {
  lock_ = std::make_unique<QLockFile>(LockFilePath());
  // Age never makes the lock stale: a copy may run for days. A lock whose
  // process is gone is taken over all the same.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) {
    Listen();
    return true;
  }
  if (lock_->error() != QLockFile::LockFailedError) {
    // No lock could be made at all (temp folder not writable, …): better two
    // copies than none.
    Listen();
    return true;
  }
  // Another copy holds the lock. It may still be starting and not listen yet;
  // it then misses the request and simply stays where it is.
  SendRequest(ServerName(), QByteArrayLiteral("show\n"), nullptr);
  return false;
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
      if (request == "show") {
        ++showRequests_;
        if (onShow_) onShow_();
        socket->write("ok\n");
      } else if (request == "status") {
        socket->write("shows=" + QByteArray::number(showRequests_) + "\n");
      } else {
        socket->write("?\n");
      }
      socket->flush();
      socket->disconnectFromServer();
    });
  }
}

bool SingleInstance::SendRequest(const QString& serverName, const QByteArray& request,
                                 QByteArray* answer, int tries) {
  for (int attempt = 0; attempt < tries; ++attempt) {
    if (attempt > 0) QThread::msleep(kRetryPauseMs);
    QLocalSocket socket;
    socket.connectToServer(serverName);
    if (!socket.waitForConnected(kConnectTimeoutMs)) continue;
    socket.write(request);
    if (!socket.waitForBytesWritten(kReplyTimeoutMs)) continue;
    QByteArray reply;
    while (!reply.contains('\n') && reply.size() <= kMaxRequestBytes &&
           socket.waitForReadyRead(kReplyTimeoutMs)) {
      reply += socket.readAll();
    }
    if (!reply.contains('\n')) continue;
    if (answer) *answer = reply.left(reply.indexOf('\n'));
    return true;
  }
  return false;
}

void ShowToFront(QWidget* window) {
  if (!window) return;
  if (window->isMinimized()) window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace dt
