#include "shell/new_shop_notices.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDateTime>
#include <QEvent>
#include <QIcon>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QVariantMap>
#include <QWidget>

#include "shell/program_icon.h"
#include "shell/ui_text.h"

namespace dt::shell {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// The action a click on the notification's body invokes.
const QString kDefaultAction = QStringLiteral("default");
// Notifications whose shops a click may still ask for; older ones are let go.
constexpr std::size_t kKeptNotifications = 32;

}  // namespace

NewShopNotices::NewShopNotices(QWidget* window, ShowShops showShops, QObject* parent)
    : QObject(parent), window_(window), showShops_(std::move(showShops)) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (window_ != nullptr && bus.isConnected()) {
    serviceWatched_ = bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"),
                                  this, SLOT(ActionInvoked(uint, QString)));
  }
  if (window_ != nullptr && QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(ProgramIcon(), this);
    tray_->setObjectName(QStringLiteral("followTray"));
    connect(tray_, &QSystemTrayIcon::activated, this, [this] { ShowUnseen(); });
    connect(tray_, &QSystemTrayIcon::messageClicked, this, [this] { ShowUnseen(); });
    UpdateTray();
    tray_->show();
  }
  if (window_ != nullptr) window_->installEventFilter(this);
}

NewShopNotices::~NewShopNotices() = default;

QString NewShopNotices::NewShopsTitle(int count) {
  // 新店 N 家
  return Ui("\xD0\xC2\xB5\xEA ") + QString::number(count) + Ui(" \xBC\xD2");
}

QString NewShopNotices::NewShopsBody(const FollowNews& news) {
  QStringList names;
  for (const std::string& name : news.firstNames) {
    // A page's text, shown as text: a service that reads markup sees none.
    names << Ui(name).simplified().toHtmlEscaped();
  }
  QString body = names.join(Ui("\xA1\xA2"));                                          // 、
  if (news.count > static_cast<int>(news.firstNames.size())) body += Ui("\xA1\xAD");  // …
  return body;
}

void NewShopNotices::AnnounceLater(const FollowNews& news) {
  QMetaObject::invokeMethod(
      this, [this, news] { Announce(news); }, Qt::QueuedConnection);
}

void NewShopNotices::Announce(const FollowNews& news) {
  if (news.kind == FollowNews::NewShops) {
    if (news.count <= 0) return;
    // Shops that arrive while the user looks at the window are seen.
    if (window_ == nullptr || !window_->isActiveWindow()) {
      unseen_.insert(unseen_.end(), news.numbers.begin(), news.numbers.end());
    }
    UpdateTray();
    Notify(NewShopsTitle(news.count), NewShopsBody(news), news.numbers);
  } else if (news.kind == FollowNews::Blocked) {
    // 市场拒绝访问，跟踪暂停，HH:MM 再试
    const QString at =
        QDateTime::fromSecsSinceEpoch(news.nextTry).toLocalTime().toString(QStringLiteral("HH:mm"));
    Notify(Ui("\xCA\xD0\xB3\xA1\xBE\xDC\xBE\xF8\xB7\xC3\xCE\xCA"),
           Ui("\xB8\xFA\xD7\xD9\xD4\xDD\xCD\xA3\xA3\xAC") + at + Ui(" \xD4\xD9\xCA\xD4"), {});
  }
}

void NewShopNotices::Notify(const QString& title, const QString& body,
                            std::vector<std::int64_t> numbers) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  const bool service = bus.isConnected() && bus.interface() != nullptr &&
                       bus.interface()->isServiceRegistered(kService).value();
  if (!service) {
    // The tray's own balloon where the desktop has a tray but no service.
    if (tray_ != nullptr && QSystemTrayIcon::supportsMessages()) {
      tray_->showMessage(title, body, QSystemTrayIcon::Information);
      ++sent_;
    }
    return;
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
  QStringList actions;
  // Only a window can be brought up by a click.
  if (window_ != nullptr && !numbers.empty())
    actions << kDefaultAction << Ui("\xB2\xE9\xBF\xB4");  // 查看
  call << QStringLiteral("Dovetrail") << 0u << QStringLiteral(DT_APP_ID) << title << body << actions
       << QVariantMap() << -1;
  ++sent_;
  // Never waited for: a slow service must not hold the window up.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, watcher, numbers = std::move(numbers)]() mutable {
            const QDBusPendingReply<uint> reply = *watcher;
            watcher->deleteLater();
            if (reply.isError() || numbers.empty()) return;
            shown_[reply.value()] = std::move(numbers);
            while (shown_.size() > kKeptNotifications) shown_.erase(shown_.begin());
          });
}

void NewShopNotices::ActionInvoked(uint id, const QString& action) {
  const auto found = shown_.find(id);
  if (found == shown_.end() || action != kDefaultAction) return;
  const std::vector<std::int64_t> numbers = found->second;
  shown_.erase(found);
  unseen_.clear();
  UpdateTray();
  if (showShops_) showShops_(numbers);
}

void NewShopNotices::ShowUnseen() {
  // Taken first: bringing the window up counts as looking at it.
  const std::vector<std::int64_t> numbers = std::move(unseen_);
  unseen_.clear();
  UpdateTray();
  if (showShops_) showShops_(numbers);
}

void NewShopNotices::UpdateTray() {
  if (tray_ == nullptr) return;
  // Dovetrail · 新店 K
  tray_->setToolTip(QStringLiteral("Dovetrail \u00B7 ") +
                    NewShopsTitle(static_cast<int>(unseen_.size())));
}

bool NewShopNotices::eventFilter(QObject* watched, QEvent* event) {
  // The user has looked at the window: what it lists is seen.
  if (watched == window_ && event->type() == QEvent::WindowActivate && !unseen_.empty()) {
    unseen_.clear();
    UpdateTray();
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace dt::shell
