// One running copy per user. The first copy holds a lock file and listens on
// a local socket of the same name, both in a folder only the user can enter;
// a later copy finds the lock held, asks the first copy once and briefly to
// come to the front, and ends.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QString>

#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace dt::shell {

// The same 11 digits in every copy of the program.
inline constexpr char kInstanceName[] = "20110831736";

class SingleInstance {
 public:
  // How long a later copy waits in all for the first copy's answer.
  static constexpr int kRequestMilliseconds = 750;

  // name: the instance name. folder: where the lock and the socket live;
  // empty: PrivateFolder(), looked up when the lock is claimed.
  explicit SingleInstance(QString name = QString::fromLatin1(kInstanceName),
                          QString folder = QString());
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // The user's own folder for the lock and the socket, the same whatever
  // TMPDIR says: $XDG_RUNTIME_DIR when it is a directory of this user's with
  // mode 0700; else a folder under the user's cache folder, created with mode
  // 0700 (and accepted only as such). Empty when there is none (no home).
  static QString PrivateFolder();

  // What a later copy asks of the running one: to show its window, or
  // nothing (a copy without a window only learns that one runs).
  enum class Ask { Show, Nothing };

  // How long a copy that was handed over to waits for the lock to come free.
  static constexpr int kHandOverMilliseconds = 20000;

  // True when this is the first copy: the lock is held and the socket is
  // listening. False when another copy holds the lock; with Ask::Show that
  // copy has then been asked once to show itself, whether or not it answered
  // in time. A copy without a window answers by handing over: it ends, and
  // this copy waits for the lock and runs (HandedOver() says what the other
  // copy was doing). Without a private folder, or when the lock cannot be
  // made for any other reason, this copy runs as the first: better two copies
  // than none.
  bool Claim(Ask ask = Ask::Show);

  // The word a copy that handed over to this one answered with ("follow",
  // "range" or "idle"); empty when this copy took no one's place.
  QByteArray HandedOver() const { return handedOver_; }

  // Makes this copy one that hands over: a show request is answered
  // "handover " + word() and then end() runs on the window thread, which must
  // save what is to be kept, Release() the lock and end the process.
  void SetHandOver(std::function<QByteArray()> word, std::function<void()> end) {
    handOverWord_ = std::move(word);
    handOverEnd_ = std::move(end);
  }

  // Gives the lock and the socket up before the process ends.
  void Release();

  // Called on the window thread for every show request of a later copy.
  void SetShowRequestHandler(std::function<void()> handler);

  // Show requests answered so far; a later copy's request and a status query
  // are both answered on the same socket.
  int ShowRequests() const { return showRequests_; }

  // The figures a status query is answered with (key=value pairs separated by
  // blanks, on the window thread); " shows=N" follows them. Without one the
  // answer is "shows=N" alone.
  void SetStatusProvider(std::function<std::string()> provider) {
    statusProvider_ = std::move(provider);
  }

  QString Folder() const { return folder_; }
  QString LockFilePath() const;
  QString ServerName() const;
  // The socket of the copy whose lock lives in folder.
  static QString ServerNameIn(const QString& folder,
                              const QString& name = QString::fromLatin1(kInstanceName));

  // One exchange on the socket: request ("show" or "status" + LF), answered
  // by one line. Gives up after timeoutMs in all; false when no answer came.
  static bool SendRequest(const QString& serverName, const QByteArray& request, QByteArray* answer,
                          int timeoutMs = kRequestMilliseconds);

 private:
  void Listen();
  void Serve();

  QString name_;
  QString folder_;
  std::unique_ptr<QLockFile> lock_;
  std::unique_ptr<QLocalServer> server_;
  std::function<void()> onShow_;
  std::function<std::string()> statusProvider_;
  std::function<QByteArray()> handOverWord_;
  std::function<void()> handOverEnd_;
  QByteArray handedOver_;
  int showRequests_ = 0;
};

// Brings a window to the front: restored when minimised, shown, raised and
// activated.
void ShowToFront(QWidget* window);

}  // namespace dt::shell
