// Telling the user of new shops while following: one desktop notification
// per poll that listed shops (org.freedesktop.Notifications on the session
// bus), and, with a window, a tray icon counting the shops listed since the
// window was last looked at. A click on either shows those shops. Without a
// session bus, a notification service or a tray, nothing is shown and
// nothing fails: the list and the status box say it all the same.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "collect/frontier.h"

class QSystemTrayIcon;
class QWidget;

namespace dt::shell {

class NewShopNotices : public QObject {
  Q_OBJECT

 public:
  using ShowShops = std::function<void(const std::vector<std::int64_t>& numbers)>;

  // window: the main window (nullptr without one: no tray, no clicks to
  // show). showShops: brings the window up with those shops selected.
  NewShopNotices(QWidget* window, ShowShops showShops, QObject* parent = nullptr);
  ~NewShopNotices() override;

  // On the thread of this object: one poll's news.
  void Announce(const FollowNews& news);
  // The news from any thread, handed to this object's thread.
  void AnnounceLater(const FollowNews& news);

  // The notification's texts (UTF-8 for the toolkit; names kept plain).
  static QString NewShopsTitle(int count);
  static QString NewShopsBody(const FollowNews& news);

  // Notifications handed to the service so far.
  int Sent() const { return sent_; }
  // The shops listed since the window was last looked at.
  const std::vector<std::int64_t>& Unseen() const { return unseen_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private slots:
  void ActionInvoked(uint id, const QString& action);

 private:
  void Notify(const QString& title, const QString& body, std::vector<std::int64_t> numbers);
  void UpdateTray();
  void ShowUnseen();

  QWidget* window_;
  ShowShops showShops_;
  QSystemTrayIcon* tray_ = nullptr;
  bool serviceWatched_ = false;
  int sent_ = 0;
  std::vector<std::int64_t> unseen_;
  // The shops of the notifications still on screen, by their id.
  std::map<uint, std::vector<std::int64_t>> shown_;
};

}  // namespace dt::shell
