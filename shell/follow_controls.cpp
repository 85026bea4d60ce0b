#include "shell/follow_controls.h"

#include <QCheckBox>
#include <QItemSelection>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <set>

#include "shell/form.h"
#include "shell/main_window.h"
#include "shell/new_shop_notices.h"
#include "shell/program_core.h"
#include "shell/program_settings.h"
#include "shell/results_model.h"
#include "shell/single_instance.h"
#include "shell/ui_text.h"
#include "text/failure_log.h"
#include "text/gbk_text.h"

namespace dt::shell {

FollowControls::FollowControls(MainWindow& window, Collector& collector, ProgramCore& core,
                               std::string settingsPath)
    : window_(window), collector_(collector), core_(core), settingsPath_(std::move(settingsPath)) {
  QWidget* bar = window.Control(names::kTopBar);
  const double scale = FormScale(window);
  // The free end of the top bar's lower row, right of the export button.
  followBox_ = new QCheckBox(Ui("\xB8\xFA\xD7\xD9\xD0\xC2\xB5\xEA"), bar);  // 跟踪新店
  followBox_->setObjectName(QStringLiteral("followNewShops"));
  followBox_->setGeometry(ScaledPlace(QRect(508, 39, 74, 20), scale));
  pollBox_ = new QSpinBox(bar);
  pollBox_->setObjectName(QStringLiteral("followPollSeconds"));
  pollBox_->setRange(FollowConfig::kLeastPollSeconds, FollowConfig::kMostPollSeconds);
  pollBox_->setSuffix(Ui(" \xC3\xEB"));  // 秒
  pollBox_->setGeometry(ScaledPlace(QRect(584, 39, 76, 20), scale));
  // "勾选后，开始采集跟踪最新开的店铺，每隔这么多秒查看一次。"
  const QString tip =
      Ui("\xB9\xB4\xD1\xA1\xBA\xF3\xA3\xAC\xBF\xAA\xCA\xBC\xB2\xC9\xBC\xAF\xB8\xFA\xD7\xD9\xD7\xEE"
         "\xD0\xC2\xBF\xAA\xB5\xC4\xB5\xEA\xC6\xCC\xA3\xAC\xC3\xBF\xB8\xF4\xD5\xE2\xC3\xB4\xB6\xE0"
         "\xC3\xEB\xB2\xE9\xBF\xB4\xD2\xBB\xB4\xCE\xA1\xA3");
  followBox_->setToolTip(tip);
  pollBox_->setToolTip(tip);
  const FollowConfig config = ReadFollowSettings(settingsPath_);
  followBox_->setChecked(config.on);
  pollBox_->setValue(config.pollSeconds);
  followBox_->show();
  pollBox_->show();
  // In screen order: after the export button.
  QWidget::setTabOrder(window.Control(names::kExportButton), followBox_);
  QWidget::setTabOrder(followBox_, pollBox_);
  QObject::connect(followBox_, &QCheckBox::toggled, &window, [this] { Save(); });
  QObject::connect(pollBox_, &QSpinBox::valueChanged, &window, [this] { Save(); });

  notices_ = new NewShopNotices(
      &window, [this](const std::vector<std::int64_t>& numbers) { ShowShops(numbers); }, &window);
  collector_.OnFollowNews(
      [notices = notices_](const FollowNews& news) { notices->AnnounceLater(news); });
  window.SetStartOverride([this] { return StartIfChecked(); });
}

void FollowControls::Save() {
  FollowConfig config;
  config.on = followBox_->isChecked();
  config.pollSeconds = pollBox_->value();
  // The boxes stay in force for this start; the failure log says why the
  // next start will not have them.
  if (!WriteFollowSettings(settingsPath_, config)) {
    ReportFailure(FailureArea::Files, "the follow settings could not be kept in " + settingsPath_);
  }
}

bool FollowControls::StartIfChecked() {
  if (!followBox_->isChecked()) return false;
  const auto* first = window_.ControlAs<QLineEdit>(names::kFirstNumber);
  StartFollowRun(core_, std::nullopt, ToInteger(Gbk(first->text())), pollBox_->value());
  return true;
}

void FollowControls::TakeOverFollowRun() {
  followBox_->setChecked(true);
  // The highest shop of the list counts only once the list is back.
  if (core_.keeper->Loading()) {
    QTimer::singleShot(100, &window_, [this] { TakeOverFollowRun(); });
    return;
  }
  if (!collector_.Run().Running()) window_.ClickStart();
}

std::string FollowControls::StateText() const {
  return FollowStateFileText(collector_);
}

void FollowControls::ShowShops(const std::vector<std::int64_t>& numbers) {
  ShowToFront(&window_);
  // Rows the window has not taken from the list yet are taken first.
  window_.ShowProgress();
  const std::set<std::int64_t> wanted(numbers.begin(), numbers.end());
  if (wanted.empty()) return;
  ResultsStore& store = collector_.Results();
  const std::vector<std::int64_t> rows = store.Numbers(store.RowCount());
  QTableView* view = window_.ResultsView();
  QAbstractItemModel* model = view->model();
  QItemSelection selection;
  int firstRow = -1;
  for (std::size_t row = 0; row < rows.size() && static_cast<int>(row) < model->rowCount(); ++row) {
    if (wanted.count(rows[row]) == 0) continue;
    const int at = static_cast<int>(row);
    if (firstRow < 0) firstRow = at;
    selection.select(model->index(at, 0), model->index(at, model->columnCount() - 1));
  }
  view->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
  if (firstRow >= 0) view->scrollTo(model->index(firstRow, 0));
  view->setFocus(Qt::OtherFocusReason);
}

}  // namespace dt::shell
