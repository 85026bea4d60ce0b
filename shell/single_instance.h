// One running copy at a time. The first copy holds a lock file and listens on
// a local socket of the same name; a later copy finds the lock held, asks the
// first copy to come to the front, and ends.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QString>

#include <functional>
#include <memory>

class QWidget;

namespace dt {

// The same 11 digits in every copy of the program.
inline constexpr char kInstanceName[] = "20110831736";

class SingleInstance {
 public:
  // name: the instance name; the lock file and the socket live in the temp
  // folder and carry the user id, so two users never see each other's copy.
  explicit SingleInstance(QString name = QString::fromLatin1(kInstanceName));
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // True when this is the first copy: the lock is held and the socket is
  // listening. False when another copy holds the lock; that copy has then been
  // asked to show itself (if it could be reached within a few tries). A lock
  // that cannot be made for any other reason runs this copy as the first.
  bool Claim();

  // Called on the window thread for every show request of a later copy.
  void SetShowRequestHandler(std::function<void()> handler);

  // Show requests answered so far; a later copy's request and a status query
  // are both answered on the same socket.
  int ShowRequests() const { return showRequests_; }

  QString LockFilePath() const;
  QString ServerName() const;

  // The whole exchange of a later copy: "show" + LF, answered by "ok" + LF.
  // Also usable by tests and tools as a client; false when no copy answered.
  static bool SendRequest(const QString& serverName, const QByteArray& request, QByteArray* answer,
                          int tries = 10);

 private:
  void Listen();
  void Serve();

  QString name_;
  std::unique_ptr<QLockFile> lock_;
  std::unique_ptr<QLocalServer> server_;
  std::function<void()> onShow_;
  int showRequests_ = 0;
};

// Brings a window to the front: restored when minimised, shown, raised and
// activated.
void ShowToFront(QWidget* window);

}  // namespace dt
