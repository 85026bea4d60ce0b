#include "shell/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableView>
#include <QTextCursor>
#include <QTimer>
#include <QWindow>
#include <algorithm>

#include "shell/form.h"
#include "shell/open_address.h"
#include "shell/program_core.h"
#include "shell/program_icon.h"
#include "shell/qt_savable_controls.h"
#include "shell/results_model.h"
#include "shell/ui_text.h"
#include "text/gbk_codec.h"
#include "text/gbk_text.h"

namespace dt::shell {
namespace {

// 正在载入 N 行
std::string LoadingText(std::size_t rows) {
  return "\xD5\xFD\xD4\xDA\xD4\xD8\xC8\xEB " + ToText(static_cast<long long>(rows)) + " \xD0\xD0";
}

constexpr std::string_view kWindowTitle = "Dovetrail [2011-0831]";
constexpr std::string_view kExportingMessage =
    "\xD5\xFD\xD4\xDA\xB5\xBC\xB3\xF6\xA1\xAD";  // 正在导出…

// The control of that name and type; the form table defines every one of
// them, so a miss is a programming error caught at the first start.
template <typename T>
T* Resolve(const MainWindow& window, std::string_view name) {
  T* control = window.ControlAs<T>(name);
  if (control == nullptr) qFatal("the form lacks a control the window needs");
  return control;
}

WindowControls ResolveControls(const MainWindow& window) {
  WindowControls c;
  c.firstNumber = Resolve<QLineEdit>(window, names::kFirstNumber);
  c.lastNumber = Resolve<QLineEdit>(window, names::kLastNumber);
  c.start = Resolve<QPushButton>(window, names::kStartButton);
  c.exportData = Resolve<QPushButton>(window, names::kExportButton);
  c.update = Resolve<QPushButton>(window, names::kUpdateButton);
  c.zeroItems = Resolve<QCheckBox>(window, names::kZeroItemsFilter);
  c.zeroCredit = Resolve<QCheckBox>(window, names::kZeroCreditFilter);
  c.exportShopName = Resolve<QCheckBox>(window, names::kExportShopName);
  c.exportAddress = Resolve<QCheckBox>(window, names::kExportAddress);
  c.exportCreated = Resolve<QCheckBox>(window, names::kExportCreated);
  c.exportCredit = Resolve<QCheckBox>(window, names::kExportCredit);
  c.exportItemCount = Resolve<QCheckBox>(window, names::kExportItemCount);
  c.statusBox = Resolve<QPlainTextEdit>(window, names::kStatusBox);
  c.results = Resolve<ResultsTableView>(window, names::kResultsList);
  c.topBar = Resolve<QWidget>(window, names::kTopBar);
  c.searchPanel = Resolve<QWidget>(window, names::kSearchPanel);
  return c;
}

}  // namespace

MainWindow::MainWindow(Collector& collector, BrowserLauncher& launcher, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint),
      collector_(collector),
      launcher_(launcher) {
  setWindowTitle(QString::fromLatin1(kWindowTitle.data(), kWindowTitle.size()));
  setWindowIcon(ProgramIcon());
  setFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
  // The form's pixels are those of a 96 DPI font; a larger font scales them.
  scale_ = FormScale(*this);
  setFixedSize(ScaledPlace(QRect(0, 0, kClientWidth, kClientHeight), scale_).size());

  widgets_ = BuildForm(this, MainForm(), scale_);
  ui_ = ResolveControls(*this);
  SetUpResultsList();
  SetUpListActions();
  SetUpStatusBox();
  ConnectEvents();
  SetUpKeyboard();
  SetUpReadout();
  SetUpRequestsBox();
  SyncEngineMirrors();
  CentreOnPrimaryScreen();

  refresh_ = new QTimer(this);
  refresh_->setInterval(kRefreshMilliseconds);
  connect(refresh_, &QTimer::timeout, this, [this] { ShowProgress(); });
  refresh_->start();
}

MainWindow::~MainWindow() {
  // The export reads the store and the status log this window's owner keeps.
  if (exportThread_.joinable()) exportThread_.join();
}

QWidget* MainWindow::Control(std::string_view nameGbk) const {
  const int index = FormIndexOf(nameGbk);
  return index < 0 ? nullptr : widgets_[static_cast<std::size_t>(index)];
}

std::vector<std::unique_ptr<SavableControl>> MainWindow::Controls() const {
  return SavableControlsOf(widgets_);
}

void MainWindow::SetUpResultsList() {
  ResultsTableView* view = ui_.results;
  model_ = new ResultsModel(collector_.Results(), this);
  view->setModel(model_);

  // Rows all have the one height, so a million of them cost the view nothing
  // per row.
  QHeaderView* rows = view->verticalHeader();
  rows->hide();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setMinimumSectionSize(1);
  rows->setDefaultSectionSize(view->fontMetrics().height() + 4);

  QHeaderView* header = view->horizontalHeader();
  header->setSectionsClickable(false);
  header->setSectionsMovable(false);
  header->setHighlightSections(false);
  header->setSortIndicatorShown(false);
  header->setStretchLastSection(false);
  header->setMinimumSectionSize(0);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  const auto columns = ResultColumnHeadings();
  for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
    const int width = columns[static_cast<std::size_t>(i)].width;
    view->setColumnWidth(i, ScaledPlace(QRect(0, 0, width, 1), scale_).width());
    view->setColumnHidden(i, width == 0);
  }

  view->setSortingEnabled(false);
  view->setShowGrid(true);
  view->setWordWrap(false);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->setSelectionMode(QAbstractItemView::ExtendedSelection);
  // A click on a selected row's first cell, or F2, edits it in place; the
  // double-click belongs to opening the shop's page.
  view->setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
  view->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);

  // The selection is not shown while the list lacks the focus.
  QPalette palette = view->palette();
  palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Base));
  palette.setColor(QPalette::Inactive, QPalette::HighlightedText, palette.color(QPalette::Text));
  view->setPalette(palette);

  view->viewport()->installEventFilter(this);
}

void MainWindow::SetUpStatusBox() {
  auto* box = ui_.statusBox;
  // Black text on the window's own face colour.
  QPalette palette = box->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Window));
  palette.setColor(QPalette::Text, Qt::black);
  box->setPalette(palette);
  // A log box: a long run appends many lines, and an undo history would
  // keep a second copy of each.
  box->setUndoRedoEnabled(false);
}

void MainWindow::SetUpReadout() {
  // The free strip right of the status box. Plain widgets outside the form
  // table: the settings walk never sees them, so they are never saved.
  constexpr int kLeft = 380, kTop = 547, kRight = kClientWidth, kBottom = kClientHeight;
  readout_ = new QLabel(this);
  readout_->setObjectName(QStringLiteral("progressReadout"));
  readout_->setTextFormat(Qt::PlainText);
  readout_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  readout_->setWordWrap(false);
  // A running run shows the most lines. Where the font's lines are taller
  // than the form's strip holds, the strip grows down, and the window with it.
  RunProgress running;
  running.state = RunState::Running;
  readout_->setText(Ui(ReadoutText(running, 0, std::nullopt)));
  QRect strip = ScaledPlace(QRect(kLeft, kTop, kRight - kLeft, kBottom - kTop), scale_);
  strip.setHeight(std::max(strip.height(), readout_->sizeHint().height()));
  readout_->setGeometry(strip);
  if (strip.bottom() >= height()) setFixedSize(width(), strip.bottom() + 1);
  // The offers sit at the strip's bottom.
  const auto offerPlace = [this, &strip](int left, int width) {
    QRect place = ScaledPlace(QRect(left, kBottom - 18, width, 18), scale_);
    place.moveBottom(strip.bottom());
    return place;
  };

  resumeButton_ = new QPushButton(this);
  resumeButton_->setObjectName(QStringLiteral("progressResume"));
  resumeButton_->hide();
  resumeButton_->setGeometry(offerPlace(kRight - 130, 128));
  connect(resumeButton_, &QPushButton::clicked, this, [this] { ResumeClicked(); });

  retryButton_ = new QPushButton(this);
  retryButton_->setObjectName(QStringLiteral("progressRetryFailed"));
  retryButton_->hide();
  retryButton_->setGeometry(offerPlace(kRight - 234, 102));
  connect(retryButton_, &QPushButton::clicked, this, [this] { RetryFailedClicked(); });
  ShowReadout();
}

void MainWindow::SetUpRequestsBox() {
  // The free space of the top row between the export and the update buttons.
  auto* label = new QLabel(Ui("\xCD\xAC\xCA\xB1\xC7\xEB\xC7\xF3"), ui_.topBar);  // 同时请求
  label->setObjectName(QStringLiteral("requestsAtOnceLabel"));
  label->setGeometry(ScaledPlace(QRect(520, 24, 52, 20), scale_));
  requestsBox_ = new QSpinBox(ui_.topBar);
  requestsBox_->setObjectName(QStringLiteral("requestsAtOnce"));
  requestsBox_->setRange(1, RequestSlots::kMostAtOnce);
  requestsBox_->setValue(1);
  requestsBox_->setGeometry(ScaledPlace(QRect(574, 24, 48, 20), scale_));
  label->setBuddy(requestsBox_);
  // "同时向市场请求的页面数，1 为一次一页。"
  // "多页同时请求更快，但市场可能拒绝请求过多的客户端。"
  const QString tip =
      Ui("\xCD\xAC\xCA\xB1\xCF\xF2\xCA\xD0\xB3\xA1\xC7\xEB\xC7\xF3\xB5\xC4\xD2\xB3\xC3\xE6\xCA\xFD"
         "\xA3\xAC"
         "1 \xCE\xAA\xD2\xBB\xB4\xCE\xD2\xBB\xD2\xB3\xA1\xA3"
         "\xB6\xE0\xD2\xB3\xCD\xAC\xCA\xB1\xC7\xEB\xC7\xF3\xB8\xFC\xBF\xEC\xA3\xAC\xB5\xAB\xCA\xD0"
         "\xB3\xA1\xBF\xC9\xC4\xDC\xBE\xDC\xBE\xF8\xC7\xEB\xC7\xF3\xB9\xFD\xB6\xE0\xB5\xC4\xBF\xCD"
         "\xBB\xA7\xB6\xCB\xA1\xA3");
  label->setToolTip(tip);
  requestsBox_->setToolTip(tip);
  label->show();
  requestsBox_->show();
  // In screen order: between the start and the update buttons.
  setTabOrder(ui_.start, requestsBox_);
  setTabOrder(requestsBox_, ui_.update);
  connect(requestsBox_, &QSpinBox::valueChanged, this, [this](int count) {
    collector_.SetRequestsAtOnce(count);
    if (requestsSaver_) requestsSaver_(count);
  });
}

void MainWindow::SetRequestsAtOnce(int count) {
  const QSignalBlocker quiet(requestsBox_);
  requestsBox_->setValue(count);
  collector_.SetRequestsAtOnce(requestsBox_->value());
}

void MainWindow::ConnectEvents() {
  connect(ui_.start, &QPushButton::clicked, this, [this] { StartClicked(); });
  connect(ui_.exportData, &QPushButton::clicked, this, [this] { ExportClicked(false); });
  connect(ui_.update, &QPushButton::clicked, this, [this] { UpdateClicked(); });
  connect(ui_.lastNumber, &QLineEdit::textChanged, this, [this] { SyncEngineMirrors(); });
  connect(ui_.zeroItems, &QCheckBox::toggled, this, [this] { SyncEngineMirrors(); });
  connect(ui_.zeroCredit, &QCheckBox::toggled, this, [this] { SyncEngineMirrors(); });
}

void MainWindow::CentreOnPrimaryScreen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  // The place of the outer frame, from the window's fixed outer size; a
  // window's move() places its frame.
  const QRect area = screen->geometry();
  const QSize outer = size() + QSize(kOuterWidth - kClientWidth, kOuterHeight - kClientHeight);
  move(area.x() + (area.width() - outer.width()) / 2,
       area.y() + (area.height() - outer.height()) / 2);
}

void MainWindow::SetUpKeyboard() {
  // The covered search panel is out of the user's reach, also for the keys.
  QWidget* panel = ui_.searchPanel;
  panel->setFocusPolicy(Qt::NoFocus);
  for (QWidget* child : panel->findChildren<QWidget*>()) child->setFocusPolicy(Qt::NoFocus);
  // Tab leaves the list instead of walking its cells.
  ui_.results->setTabKeyNavigation(false);
  // Screen order: the top bar's upper row and lower row, each left to right,
  // then the list and the status box. The top bar itself, which takes the
  // focus after a start click, leads to the first box.
  const std::string_view order[] = {
      names::kTopBar,           names::kFirstNumber,     names::kLastNumber,
      names::kZeroCreditFilter, names::kZeroItemsFilter, names::kStartButton,
      names::kUpdateButton,     names::kExportShopName,  names::kExportAddress,
      names::kExportCreated,    names::kExportCredit,    names::kExportItemCount,
      names::kExportButton,     names::kResultsList,     names::kStatusBox};
  for (std::size_t i = 1; i < std::size(order); ++i) {
    setTabOrder(Control(order[i - 1]), Control(order[i]));
  }
  // The offers come last, and only while they are shown.
  setTabOrder(ui_.statusBox, retryButton_);
  setTabOrder(retryButton_, resumeButton_);
  ui_.firstNumber->setFocus(Qt::OtherFocusReason);
}

void MainWindow::SyncEngineMirrors() {
  collector_.Run().SetLastNumber(ToInteger(Gbk(ui_.lastNumber->text())));
  collector_.SetZeroItemsFilter(ui_.zeroItems->isChecked());
  collector_.SetZeroCreditFilter(ui_.zeroCredit->isChecked());
}

void MainWindow::ShowProgress() {
  ui_.results->ShowAppendedRows([this] { model_->ShowNewRows(); });
  model_->ShowChangedRows();
  UpdateListActions();
  const std::string pending = collector_.Status().TakePending();
  if (!pending.empty()) AppendStatusText(pending);
  SetStartCaption(collector_.Run().Running());
  ShowReadout();
  SaveRunState(false);
}

void MainWindow::ShowReadout() {
  // The engine's figures under its short state lock; the run lock is never
  // touched, so a long page fetch cannot hold the window up.
  const RunProgress progress = collector_.Progress();
  rate_.Sample(std::chrono::steady_clock::now(), progress.done);
  // While the kept rows load, the readout says how far it got.
  const bool loading = keeper_ != nullptr && keeper_->Loading();
  const QString text = Ui(loading ? LoadingText(keeper_->LoadedRows())
                                  : ReadoutText(progress, rate_.PagesPerSecond(), saved_));
  if (readout_->text() != text) readout_->setText(text);

  resumeOffer_ = ResumeOffer(progress, saved_);
  if (resumeOffer_) {
    const QString caption = Ui(ResumeOfferText(*resumeOffer_));
    if (resumeButton_->text() != caption) resumeButton_->setText(caption);
  }
  if (resumeButton_->isVisibleTo(this) != resumeOffer_.has_value()) {
    resumeButton_->setVisible(resumeOffer_.has_value());
  }
  // The failed numbers can be run again while no run goes on.
  const bool retryOffered = progress.failedKept > 0 && progress.state != RunState::Running &&
                            progress.state != RunState::Ended;
  if (retryOffered) {
    const QString caption = Ui(RetryFailedText(progress.failedKept));
    if (retryButton_->text() != caption) retryButton_->setText(caption);
  }
  if (retryButton_->isVisibleTo(this) != retryOffered) retryButton_->setVisible(retryOffered);
}

void MainWindow::RetryFailedClicked() {
  const RunState state = collector_.Run().Progress().state;
  if (state == RunState::Running || state == RunState::Ended) return;
  // A run that walked its range to the end may still hold the flag up.
  collector_.Run().Stop();
  if (!collector_.StartFailedNumbers()) return;
  rate_.Reset();
  SetStartCaption(true);
  ShowReadout();
}

void MainWindow::ResumeClicked() {
  // The number goes into the first-number box; the user starts the run.
  if (resumeOffer_) {
    ui_.firstNumber->setText(QString::number(*resumeOffer_));
    const RunProgress progress = collector_.Run().Progress();
    // The offer comes from the file before any run, and after a run over the
    // failed list.
    const bool fromFile = progress.state == RunState::Idle || progress.listSize > 0;
    resumeTaken_ = resumeOffer_;
    resumeNoShop_ = fromFile ? (saved_ ? saved_->noShop : 0) : progress.longestNoShop;
  }
}

void MainWindow::SetSavedRun(std::optional<SavedRun> saved) {
  saved_ = std::move(saved);
  stateWriter_.SetSavedRun(saved_);
  ShowReadout();
}

std::string MainWindow::StatusAnswerText() const {
  return StatusAnswerOf(collector_, rate_.PagesPerSecond(), saved_);
}

void MainWindow::AppendStatusText(const std::string& gbk) {
  auto* box = ui_.statusBox;
  QString text = Ui(gbk);
  // Lines are separated by CR LF in the log's text; the box takes one break.
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  QTextCursor cursor = box->textCursor();
  cursor.movePosition(QTextCursor::End);
  box->setTextCursor(cursor);
  box->insertPlainText(text);
  box->ensureCursorVisible();
}

void MainWindow::SetStartCaption(bool running) {
  auto* button = ui_.start;
  const QString caption = Ui(running ? kRunningCaption : kIdleCaption);
  if (button->text() != caption) button->setText(caption);
}

void MainWindow::StartClicked() {
  // The click does what the caption the user sees says. The engine may have
  // ended the run at the range end a moment ago while the caption still reads
  // "stop": that click stops, it does not start a new run.
  SyncEngineMirrors();
  if (ui_.start->text() == Ui(kIdleCaption)) {
    if (!startOverride_ || !startOverride_()) {
      const int first = ToInteger(Gbk(ui_.firstNumber->text()));
      if (resumeTaken_ == first) collector_.Run().SetKnownNoShopStretch(resumeNoShop_);
      resumeTaken_.reset();
      collector_.Start(first);
    }
    rate_.Reset();
    SetStartCaption(true);
  } else {
    collector_.Run().Stop();
    SetStartCaption(false);
    SaveRunState(true);
  }
  ShowReadout();
  ui_.topBar->setFocus(Qt::OtherFocusReason);
}

void MainWindow::UpdateClicked() {
  const std::string page = UpdatePageAddress(QCoreApplication::applicationDirPath().toStdString());
  if (!page.empty()) launcher_.OpenDefault(page);
}

bool MainWindow::WaitForExportBeforeClose() {
  // The thread is joined on the window thread once its end has come through
  // the event loop; until then the file may be half written.
  if (!exportThread_.joinable()) return false;
  if (!closeAfterExport_) {
    closeAfterExport_ = true;
    collector_.Status().AppendStatusLine(kExportingMessage);
    ShowProgress();
  }
  return true;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (WaitForExportBeforeClose()) {
    event->ignore();
    return;
  }
  // No number is admitted from here on: the pages already under way are all
  // the last commit has to wait for, and whatever of them misses it stays at
  // or above the resume point saved now.
  collector_.Run().Stop();
  SetStartCaption(false);
  FinishDeletion();
  SaveRunState(true);
  if (closeHook_) closeHook_();
  event->accept();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  // Reaches the window when the focused control leaves Esc alone.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    close();
    return;
  }
  QWidget::keyPressEvent(event);
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
  // A press on the background (or on a label or group box, which leave it to
  // the window) moves the window like its title bar. A press that some other
  // control passed on (the blank end of a check box, the frame of the list or
  // the status box) lies on that control and moves nothing.
  QWidget* under = childAt(event->position().toPoint());
  const bool onBackground = under == nullptr || qobject_cast<QLabel*>(under) != nullptr ||
                            qobject_cast<QGroupBox*>(under) != nullptr;
  if (event->button() == Qt::LeftButton && onBackground && windowHandle() != nullptr) {
    windowHandle()->startSystemMove();
    event->accept();
    return;
  }
  QWidget::mousePressEvent(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (ui_.results != nullptr && watched == ui_.results->viewport() &&
      event->type() == QEvent::MouseButtonDblClick &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    ResultsDoubleClicked();
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace dt::shell
