// A desktop notification service for tests: owns org.freedesktop.Notifications
// on the session bus it is given, prints "ready" once it does, then one line
// per Notify call: "notify " and the summary (UTF-8), and answers with an id.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <cstdio>

namespace {

class Notifications : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() == QLatin1String("Notify") && message.arguments().size() >= 4) {
      std::printf("notify %s\n", message.arguments().at(3).toString().toUtf8().constData());
      std::fflush(stdout);
      connection.send(message.createReply(QVariantList{++id_}));
      return true;
    }
    if (message.member() == QLatin1String("GetServerInformation")) {
      connection.send(
          message.createReply(QVariantList{QStringLiteral("fake"), QStringLiteral("tests"),
                                           QStringLiteral("1"), QStringLiteral("1.2")}));
      return true;
    }
    connection.send(message.createReply(QVariantList{}));
    return true;
  }

 private:
  uint id_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QDBusConnection bus = QDBusConnection::sessionBus();
  Notifications service;
  if (!bus.isConnected() ||
      !bus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &service) ||
      !bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
    std::fputs("fake_notifier: no session bus\n", stderr);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return app.exec();
}
