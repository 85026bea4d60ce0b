// The main window's event map: start/stop with the engine, the mirrors the
// tasks read, the status box, opening pages, Esc, and the export.
#include "shell/main_window.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QAction>
#include <QCheckBox>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTableView>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "collect/results_store.h"
#include "shell/application.h"
#include "shell/follow_controls.h"
#include "shell/open_address.h"
#include "shell/program_core.h"
#include "shell/program_settings.h"
#include "shell/results_model.h"
#include "shell_test_support.h"
#include "tests/support/quick_pace.h"
#include "tests/support/temp_folder.h"
#include "text/gbk_text.h"
#include "tools/marketsim/marketsim.h"

namespace dt::shell {
namespace {

using namespace std::chrono_literals;
using testing::G;
using testing::RecordingLauncher;
using testing::TestEngine;
using Call = RecordingLauncher::Call;

// Keeps the event loop turning until done() or the timeout.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QTest::qWait(10);
  }
  return true;
}

class WindowTest : public ::testing::Test, protected testing::WithApp {
 protected:
  explicit WindowTest(CollectorConfig config = {}) : engine_(std::move(config)) {}
  explicit WindowTest(std::function<void(ShopNumber)> pageWork) : engine_(std::move(pageWork)) {}

  void MakeWindow() {
    window_ = std::make_unique<MainWindow>(engine_.collector(), launcher_);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }
  ~WindowTest() override {
    if (engine_.collector().Run().Running()) engine_.collector().Run().Click(0);
  }

  template <typename T>
  T* Find(const char* name) {
    T* widget = window_->findChild<T*>(QString::fromUtf8(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  QString StartCaption() { return Find<QPushButton>("按钮开始1")->text(); }
  void SetRange(const char* first, const char* last) {
    Find<QLineEdit>("编辑框编号1")->setText(QString::fromUtf8(first));
    Find<QLineEdit>("编辑框编号2")->setText(QString::fromUtf8(last));
  }
  void AddRows(int count) {
    for (int i = 0; i < count; ++i) {
      ResultsStore::Cells cells;
      cells[kColAccount] = "seller" + std::to_string(i);
      cells[kColShopName] = G("店") + std::to_string(i);
      cells[kColAddress] = "http://shop" + std::to_string(100 + i) + ".taobao.com/";
      cells[kColCreated] = "2011-08-0" + std::to_string(i % 9 + 1);
      cells[kColCredit] = "0";
      cells[kColItems] = std::to_string(i * 3);
      engine_.collector().Results().AppendNumberedRow(std::move(cells));
    }
    window_->ShowProgress();
  }
  // The double-click event alone, after the selection has been made: what the
  // list receives as the second press of a double-click.
  void DoubleClickList(QPoint at = QPoint(600, 200)) {
    QWidget* viewport = window_->ResultsView()->viewport();
    QMouseEvent event(QEvent::MouseButtonDblClick, at, viewport->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &event);
  }

  TestEngine engine_;
  RecordingLauncher launcher_;
  std::unique_ptr<MainWindow> window_;
};

TEST(OpenAddressTest, ChoosesTheBrowserAndFallsBack) {
  const struct {
    const char* address;
    bool useBrowser;
    bool browserStarts;
    std::vector<Call> calls;
  } cases[] = {
      {"http://shop7.taobao.com/", true, true, {{true, "http://shop7.taobao.com/"}}},
      {"http://shop7.taobao.com/", false, true, {{false, "http://shop7.taobao.com/"}}},
      {"", true, true, {{true, std::string(kDefaultPageAddress)}}},
      {"", false, true, {{false, std::string(kDefaultPageAddress)}}},
      // No browser to start: the default browser gets the address.
      {"http://a/", true, false, {{true, "http://a/"}, {false, "http://a/"}}},
  };
  for (const auto& c : cases) {
    RecordingLauncher launcher;
    launcher.browserStarts = c.browserStarts;
    OpenAddress(launcher, c.address, c.useBrowser);
    EXPECT_EQ(launcher.calls, c.calls) << c.address << " " << c.useBrowser;
  }
}

TEST(SystemBrowserLauncherTest, RefusesAnAddressThatWouldReadAsAnOption) {
  SystemBrowserLauncher launcher;
  EXPECT_FALSE(launcher.StartBrowser("--new-window=evil"));
  EXPECT_FALSE(launcher.StartBrowser(""));
}

TEST_F(WindowTest, DoubleClickOpensTheLowestSelectedRowsShopInTheBrowser) {
  MakeWindow();
  DoubleClickList();  // empty list
  AddRows(6);
  QTableView* view = window_->ResultsView();
  view->clearSelection();
  DoubleClickList();  // rows, none selected
  view->selectionModel()->select(view->model()->index(4, 0),
                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
  view->selectionModel()->select(view->model()->index(2, 0),
                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
  view->selectionModel()->select(view->model()->index(5, 0),
                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
  // On row 0: the selection decides, not the pointer.
  DoubleClickList(view->visualRect(view->model()->index(0, 1)).center());
  QMouseEvent right(QEvent::MouseButtonDblClick, QPoint(5, 5), QPoint(5, 5), Qt::RightButton,
                    Qt::RightButton, Qt::NoModifier);
  QCoreApplication::sendEvent(view->viewport(), &right);  // only the left button counts
  const std::string defaultPage(kDefaultPageAddress);
  EXPECT_EQ(launcher_.calls,
            (std::vector<Call>{
                {true, defaultPage}, {true, defaultPage}, {true, "http://shop102.taobao.com/"}}));
}

// Rows appended below a full list are laid out without a repaint of the
// visible cells: the scroll bar must still take them, and rows that land in
// view must still be painted.
TEST_F(WindowTest, AppendedRowsReachTheScrollBarAndRowsInViewArePainted) {
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  MakeWindow();
  QTableView* view = window_->ResultsView();
  view->viewport()->installEventFilter(&counter);
  QTest::qWait(50);
  counter.paints = 0;
  AddRows(3);
  QTest::qWait(50);
  EXPECT_GT(counter.paints, 0) << "rows in view were not painted";

  AddRows(200);
  QTest::qWait(50);
  const int maximum = view->verticalScrollBar()->maximum();
  ASSERT_GT(maximum, 0);
  AddRows(100);
  QTest::qWait(50);
  EXPECT_GT(view->verticalScrollBar()->maximum(), maximum);
  view->scrollToBottom();
  EXPECT_EQ(view->rowAt(view->viewport()->height() - 1), 302);
}

TEST_F(WindowTest, DoubleClickOnARowUsesTheRowTheFirstClickSelected) {
  MakeWindow();
  AddRows(3);
  QTableView* view = window_->ResultsView();
  const QRect cell = view->visualRect(view->model()->index(1, kColOrdinal));
  // The press that selects the row, then the double-click on it.
  QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  QTest::mouseDClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  EXPECT_EQ(launcher_.calls, (std::vector<Call>{{true, "http://shop101.taobao.com/"}}));
  // The double-click does not start an edit of the row's first cell.
  QTest::qWait(QApplication::doubleClickInterval() + 100);
  EXPECT_EQ(view->viewport()->findChild<QLineEdit*>(), nullptr);
}

TEST_F(WindowTest, UpdateButtonOpensAReadmeThatExistsInTheDefaultBrowser) {
  MakeWindow();
  QTest::mouseClick(Find<QPushButton>("按钮注册1"), Qt::LeftButton);
  // Not installed: the source tree's README.
  ASSERT_EQ(launcher_.calls.size(), 1u);
  const std::string& url = launcher_.calls[0].url;
  EXPECT_FALSE(launcher_.calls[0].started);
  const std::string prefix = "file://";
  ASSERT_EQ(url.rfind(prefix, 0), 0u) << url;
  EXPECT_TRUE(url.ends_with("/README.md")) << url;
  EXPECT_TRUE(std::filesystem::is_regular_file(url.substr(prefix.size()))) << url;

  // Installed: the README under share/doc beside bin/ comes first.
  dt::testing::TempFolder prefixFolder;
  const auto doc = prefixFolder.Path() / "share/doc/dovetrail";
  std::filesystem::create_directories(doc);
  std::filesystem::create_directories(prefixFolder.Path() / "bin");
  { std::ofstream(doc / "README.md") << "# Dovetrail\n"; }
  EXPECT_EQ(UpdatePageAddress((prefixFolder.Path() / "bin").string()),
            "file://" + (doc / "README.md").string());
}

TEST_F(WindowTest, EscClosesThroughTheCloseHook) {
  MakeWindow();
  int closes = 0;
  window_->SetCloseHook([&] { ++closes; });
  // With the focus in a number box, which leaves Esc to the window.
  Find<QLineEdit>("编辑框编号1")->setFocus();
  QTest::keyClick(Find<QLineEdit>("编辑框编号1"), Qt::Key_Escape);
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(window_->isVisible());
  // Another key does not close.
  window_->show();
  QTest::keyClick(window_.get(), Qt::Key_A);
  EXPECT_EQ(closes, 1);
  window_->close();
  EXPECT_EQ(closes, 2);
}

TEST_F(WindowTest, KeysGoToTheVisibleControlsInScreenOrder) {
  MakeWindow();
  AddRows(3);  // a list with rows passes Tab on all the same
  EXPECT_EQ(window_->focusWidget(), Find<QWidget>("编辑框编号1"));
  const char* order[] = {"编辑框编号2",    "选择框0信用", "选择框0宝贝", "按钮开始1",
                         "requestsAtOnce", "按钮注册1",   "选择框1",     "选择框2",
                         "选择框3",        "选择框4",     "选择框5",     "按钮导出",
                         "超级列表框",     "编辑框提示",  "编辑框编号1"};
  for (const char* name : order) {
    QTest::keyClick(window_->focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(window_->focusWidget()->objectName(), QString::fromUtf8(name));
  }
  QTest::keyClick(window_->focusWidget(), Qt::Key_Backtab);
  EXPECT_EQ(window_->focusWidget(), Find<QWidget>("编辑框提示"));
  EXPECT_FALSE(Find<QPlainTextEdit>("编辑框提示")->toPlainText().contains(QLatin1Char('\t')));

  // No control of the covered search panel takes the focus, not even by a
  // click; what is typed then stays out of its keyword box.
  QTest::mouseClick(Find<QWidget>("编辑框关键字"), Qt::LeftButton);
  QTest::mouseClick(Find<QWidget>("组合框类别"), Qt::LeftButton);
  EXPECT_EQ(window_->focusWidget(), Find<QWidget>("编辑框提示"));
  for (QWidget* control : Find<QWidget>("分组框1")->findChildren<QWidget*>()) {
    control->setFocus();  // only a program could; Tab still skips the panel
    QTest::keyClick(control, Qt::Key_Tab);
    EXPECT_FALSE(Find<QWidget>("分组框1")->isAncestorOf(window_->focusWidget()))
        << control->objectName().toStdString();
  }
  EXPECT_TRUE(Find<QLineEdit>("编辑框关键字")->text().isEmpty());
}

TEST_F(WindowTest, OnlyAPressOnTheBackgroundMovesTheWindow) {
  MakeWindow();
  // The window takes the press to start a move; a press it leaves alone goes
  // nowhere.
  const auto windowTakes = [&](QWidget* target, QPoint at) {
    QMouseEvent press(QEvent::MouseButtonPress, at, target->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, target->mapToGlobal(at), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &release);
    return press.isAccepted();
  };
  const struct {
    const char* name;  // nullptr: the window itself
    QPoint at;
    bool moves;
  } cases[] = {
      {nullptr, {500, 580}, true},      // bare background below the list
      {"标签3", {10, 12}, true},        // a label is background
      {"分组框2", {600, 8}, true},      // so is a group box
      {"选择框5", {70, 12}, false},     // the blank end of a check box is the control
      {"超级列表框", {0, 100}, false},  // the list's frame
      {"编辑框提示", {0, 30}, false},   // the status box's frame
  };
  for (const auto& c : cases) {
    QWidget* target = c.name ? Find<QWidget>(c.name) : window_.get();
    EXPECT_EQ(windowTakes(target, c.at), c.moves) << (c.name ? c.name : "window");
  }
}

TEST_F(WindowTest, EngineMirrorsFollowTheBoxes) {
  MakeWindow();
  CollectionRun& run = engine_.collector().Run();
  EXPECT_EQ(run.LastNumber(), 645090000);  // the form's own text
  auto* last = Find<QLineEdit>("编辑框编号2");
  const struct {
    const char* text;
    int value;
  } cases[] = {{"123", 123}, {"  42abc", 42}, {"１２３", 123}, {"", 0}, {"-7", -7}};
  for (const auto& c : cases) {
    last->setText(QString::fromUtf8(c.text));
    EXPECT_EQ(run.LastNumber(), c.value) << c.text;
  }
  last->clear();
  QTest::keyClicks(last, "99");
  EXPECT_EQ(run.LastNumber(), 99);
}

TEST_F(WindowTest, StatusTextIsAppendedAfterWhatTheUserTyped) {
  MakeWindow();
  auto* box = Find<QPlainTextEdit>("编辑框提示");
  box->setFocus();
  QTest::keyClicks(box, "typed");
  QTextCursor start = box->textCursor();
  start.movePosition(QTextCursor::Start);
  box->setTextCursor(start);  // the caret away from the end
  engine_.collector().Status().AppendStatusLine(G("过滤 67808220"));
  engine_.collector().Status().AppendStatusLine("<b>not bold</b>");
  ASSERT_TRUE(WaitFor([&] { return box->toPlainText().contains(QStringLiteral("not bold")); }));
  const QStringList lines = box->toPlainText().split(QLatin1Char('\n'));
  ASSERT_EQ(lines.size(), 3);
  EXPECT_EQ(lines[0], QStringLiteral("typed"));
  EXPECT_TRUE(lines[1].endsWith(QString::fromUtf8("：过滤 67808220"))) << lines[1].toStdString();
  EXPECT_EQ(lines[1].size(), 8 + 1 + 11);
  EXPECT_TRUE(lines[2].endsWith(QStringLiteral("<b>not bold</b>")));
  EXPECT_EQ(box->textCursor().position(), box->document()->characterCount() - 1);
}

// Page work that appends one row per admitted number, as the shop task does.
class RunWindowTest : public WindowTest {
 protected:
  RunWindowTest()
      : WindowTest(std::function<void(ShopNumber)>([this](ShopNumber n) {
          if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
          ResultsStore::Cells cells;
          cells[kColAccount] = "n" + std::to_string(n);
          results_->AppendNumberedRow(std::move(cells));
        })) {
    results_ = &engine_.collector().Results();
  }
  ResultsStore* results_ = nullptr;
  std::chrono::milliseconds delay_{0};
};

TEST_F(RunWindowTest, StartClickRunsTheRangeAndTheCaptionFollowsTheRunFlag) {
  MakeWindow();
  SetRange("100", "104");
  EXPECT_EQ(StartCaption(), QString::fromUtf8("开始采集"));
  QTest::mouseClick(Find<QPushButton>("按钮开始1"), Qt::LeftButton);
  EXPECT_EQ(StartCaption(), QString::fromUtf8("停  止"));
  EXPECT_EQ(window_->focusWidget(), window_->findChild<QWidget*>(QString::fromUtf8("分组框2")));
  ASSERT_TRUE(engine_.collector().Run().WaitUntilIdle(10s));
  ASSERT_TRUE(WaitFor([&] { return window_->Model().rowCount() == 5; }));
  // The range end lowered the flag; the timer shows it.
  ASSERT_TRUE(WaitFor([&] { return StartCaption() == QString::fromUtf8("开始采集"); }));
  std::vector<std::string> accounts;
  for (int r = 0; r < 5; ++r) accounts.push_back(results_->Cell(r, kColAccount));
  std::sort(accounts.begin(), accounts.end());
  EXPECT_EQ(accounts, (std::vector<std::string>{"n100", "n101", "n102", "n103", "n104"}));
  EXPECT_EQ(window_->Model().data(window_->Model().index(4, 0)).toString(), QStringLiteral("5"));
}

// The range end has lowered the engine's flag, and the caption still says
// "stop" until the next refresh: the click stops, as the caption says, and
// starts no new run.
TEST_F(RunWindowTest, AClickDoesWhatTheShownCaptionSays) {
  MakeWindow();
  SetRange("100", "104");
  auto* start = Find<QPushButton>("按钮开始1");
  start->click();  // no turn of the event loop from here: the caption is not refreshed
  ASSERT_TRUE(engine_.collector().Run().WaitUntilIdle(10s));
  ASSERT_FALSE(engine_.collector().Run().Running());
  ASSERT_EQ(StartCaption(), QString::fromUtf8("停  止"));
  start->click();
  EXPECT_EQ(StartCaption(), QString::fromUtf8("开始采集"));
  ASSERT_TRUE(engine_.collector().Run().WaitUntilIdle(10s));
  EXPECT_EQ(results_->RowCount(), 5u);
  // The next click, under "开始采集", starts again.
  start->click();
  EXPECT_EQ(StartCaption(), QString::fromUtf8("停  止"));
  ASSERT_TRUE(engine_.collector().Run().WaitUntilIdle(10s));
  EXPECT_EQ(results_->RowCount(), 10u);
}

// Esc, like the close box and the signals, stops the run first: nothing is
// admitted while the last rows are committed.
TEST_F(RunWindowTest, SecondClickOrACloseStopsTheRunWithoutWaiting) {
  delay_ = 2ms;
  for (const bool esc : {false, true}) {
    MakeWindow();
    SetRange("1", "100000000");
    auto* start = Find<QPushButton>("按钮开始1");
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return window_->Model().rowCount() > 3; }));
    esc ? QTest::keyClick(window_.get(), Qt::Key_Escape) : QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(StartCaption(), QString::fromUtf8("开始采集"));
    EXPECT_EQ(engine_.collector().Run().Progress().state, RunState::Stopped);
    ASSERT_TRUE(engine_.collector().Run().WaitUntilIdle(10s));
    QTest::qWait(2 * MainWindow::kRefreshMilliseconds);
    EXPECT_EQ(StartCaption(), QString::fromUtf8("开始采集"));
  }
}

// The state file is written from the timer at most once a second during a
// run, at once on the stop click, and the offer to go on then fills the first
// box only.
TEST_F(RunWindowTest, TheStateFileIsWrittenAtMostOnceASecondAndAtTheStop) {
  delay_ = 5ms;
  MakeWindow();
  std::vector<std::string> writes;
  window_->SetRunStateSaver([&](const std::string& text) { writes.push_back(text); });
  SetRange("1", "100000000");
  auto* start = Find<QPushButton>("按钮开始1");
  QTest::mouseClick(start, Qt::LeftButton);
  QTest::qWait(2500);
  EXPECT_GE(writes.size(), 2u);
  EXPECT_LE(writes.size(), 3u);
  const std::size_t before = writes.size();
  QTest::mouseClick(start, Qt::LeftButton);
  ASSERT_EQ(writes.size(), before + 1);
  ASSERT_TRUE(engine_.collector().Run().WaitUntilIdle(10s));
  const std::optional<SavedRun> saved = ParseRunStateFile(writes.back());
  ASSERT_TRUE(saved && saved->resume);
  EXPECT_EQ(saved->first, 1);
  EXPECT_GT(*saved->resume, 20);

  QTest::qWait(2 * MainWindow::kRefreshMilliseconds);
  ASSERT_TRUE(window_->ResumeButton()->isVisible());
  const std::int64_t resume = *engine_.collector().Run().Progress().resume;
  window_->ResumeButton()->click();
  EXPECT_EQ(Find<QLineEdit>("编辑框编号1")->text(), QString::number(resume));
  EXPECT_EQ(Find<QLineEdit>("编辑框编号2")->text(), QStringLiteral("100000000"));
  EXPECT_EQ(StartCaption(), QString::fromUtf8("开始采集"));
}

TEST_F(RunWindowTest, LoweringTheLastNumberDuringARunLetsItsChainsDieOut) {
  delay_ = 2ms;
  MakeWindow();
  SetRange("1", "100000000");
  QTest::mouseClick(Find<QPushButton>("按钮开始1"), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return window_->Model().rowCount() > 3; }));
  Find<QLineEdit>("编辑框编号2")->setText(QStringLiteral("5"));
  // No task takes a new number any more: a run over a hundred million numbers ends.
  ASSERT_TRUE(engine_.collector().Run().WaitUntilIdle(10s));
  const std::size_t rows = results_->RowCount();
  QTest::qWait(50);
  EXPECT_EQ(results_->RowCount(), rows);
}

// The real shop task over simulated shop pages: the filter boxes reach it.
class FilterWindowTest : public WindowTest {
 protected:
  FilterWindowTest()
      : WindowTest(CollectorConfig{[this](std::string& address, FetchOutcome& outcome) {
                                     const int number = ToInteger(
                                         TextBefore(TextAfter(address, "http://shop"), ".taobao"));
                                     outcome.transport = Transport::Complete;
                                     outcome.status = 200;
                                     return marketsim::ShopPageBody(sim_, number);
                                   },
                                   {},
                                   {},
                                   {}}) {
    sim_.density = 1.0;
  }
  marketsim::Options sim_;
};

TEST_F(FilterWindowTest, FilterBoxesDecideWhichShopsBecomeRows) {
  MakeWindow();
  constexpr int kFirst = 1, kLast = 60;
  std::vector<marketsim::TruthShop> truth = marketsim::Truth(sim_, kFirst, kLast);
  std::set<std::string> zeroItems;
  for (const auto& shop : truth) {
    if (shop.itemCount == "0") zeroItems.insert(shop.sellerAccount);
  }
  ASSERT_FALSE(zeroItems.empty());
  ASSERT_LT(zeroItems.size(), truth.size());

  Find<QCheckBox>("选择框0宝贝")->setChecked(true);
  SetRange("1", "60");
  QTest::mouseClick(Find<QPushButton>("按钮开始1"), Qt::LeftButton);
  ASSERT_TRUE(engine_.collector().Run().WaitUntilIdle(20s));
  ResultsStore& results = engine_.collector().Results();
  std::set<std::string> listed;
  for (std::size_t r = 0; r < results.RowCount(); ++r) listed.insert(results.Cell(r, kColAccount));
  EXPECT_EQ(listed, zeroItems);
  // Rejected shops leave their filter notes in the status box.
  ASSERT_TRUE(WaitFor([&] {
    return Find<QPlainTextEdit>("编辑框提示")->toPlainText().contains(QString::fromUtf8("过滤 "));
  }));
}

class ExportWindowTest : public WindowTest {
 protected:
  void ExportTo(std::string path) {
    window_->SetSaveFileDialog(
        [this, path](std::string_view filter, std::string_view folder, std::string_view name) {
          dialogCalls_.push_back({std::string(filter), std::string(folder), std::string(name)});
          return path;
        });
    QTest::mouseClick(Find<QPushButton>("按钮导出"), Qt::LeftButton);
  }
  dt::testing::TempFolder folder_;
  std::vector<std::vector<std::string>> dialogCalls_;
};

TEST_F(ExportWindowTest, WritesTheStoreRowsWithTheCheckedFields) {
  MakeWindow();
  AddRows(2);
  engine_.collector().Results().AppendNumberedRow({});  // not yet shown: still exported
  Find<QCheckBox>("选择框5")->setChecked(true);         // item count besides the shop name
  const std::string path = folder_.File("out.txt");
  ExportTo(path);
  ASSERT_EQ(dialogCalls_.size(), 1u);
  EXPECT_EQ(dialogCalls_[0][0], G("文本文件丨*.txt丨CSV表格丨*.csv丨Excel工作簿丨*.xlsx"));
  EXPECT_EQ(dialogCalls_[0][1], QCoreApplication::applicationDirPath().toStdString() + "/");
  EXPECT_EQ(dialogCalls_[0][2], G("淘宝新开店铺信息"));
  EXPECT_EQ(dt::testing::ReadBytes(path),
            "seller0 " + G("店") + "0 0\r\nseller1 " + G("店") + "1 3\r\n  \r\n");
  EXPECT_TRUE(Find<QPlainTextEdit>("编辑框提示")
                  ->toPlainText()
                  .endsWith(QString::fromUtf8("：文件已经保存。。。")));

  // The search panel's boxes change nothing; the address box adds its field.
  Find<QCheckBox>("选择框店铺名")->setChecked(false);
  Find<QCheckBox>("选择框1")->setChecked(false);
  Find<QCheckBox>("选择框5")->setChecked(false);
  Find<QCheckBox>("选择框2")->setChecked(true);
  const std::string second = folder_.File("second.txt");
  ExportTo(second);
  EXPECT_EQ(dt::testing::ReadBytes(second),
            "seller0 http://shop100.taobao.com/\r\nseller1 http://shop101.taobao.com/\r\n \r\n");
}

TEST_F(ExportWindowTest, ATableIsWrittenBesideTheWindowWhileItsButtonWaits) {
  MakeWindow();
  AddRows(2);
  auto* button = Find<QPushButton>("按钮导出");
  const std::string path = folder_.File("out.csv");
  ExportTo(path);
  // The end of the writing reaches the window through its event loop only.
  EXPECT_FALSE(button->isEnabled());
  ASSERT_TRUE(WaitFor([&] { return button->isEnabled(); }));
  EXPECT_EQ(dt::testing::ReadBytes(path),
            "\xEF\xBB\xBF卖家旺旺,店铺名称\r\nseller0,店0\r\nseller1,店1\r\n");
  EXPECT_TRUE(Find<QPlainTextEdit>("编辑框提示")
                  ->toPlainText()
                  .endsWith(QString::fromUtf8("：文件已经保存。。。")));
}

// A close while a table is being written, by Esc or by a signal, waits for
// the file: the status box says so, and the window closes itself after.
TEST_F(ExportWindowTest, ACloseDuringAnExportWaitsForTheFile) {
  for (const bool bySignal : {false, true}) {
    MakeWindow();
    AddRows(10000);
    CloseOnTerminationSignals(window_.get());
    auto* button = Find<QPushButton>("按钮导出");
    int writtenAtClose = 0;
    window_->SetCloseHook([&] { writtenAtClose += button->isEnabled() ? 1 : 100; });
    ExportTo(folder_.File("out.csv"));
    bySignal ? (void)std::raise(SIGTERM) : QTest::keyClick(window_.get(), Qt::Key_Escape);
    // A signal is read in the event loop; Esc is seen at once.
    const QString status = Find<QPlainTextEdit>("编辑框提示")->toPlainText();
    EXPECT_EQ(status.endsWith(QString::fromUtf8("：正在导出…")), !bySignal);
    ASSERT_TRUE(WaitFor([&] { return !window_->isVisible(); }));
    EXPECT_EQ(writtenAtClose, 1);  // closed once, with the file written
    EXPECT_TRUE(dt::testing::ReadBytes(folder_.File("out.csv")).ends_with("seller9999,店9999\r\n"));
  }
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) std::signal(signal, SIG_DFL);  // Ctrl+C again
}

TEST_F(ExportWindowTest, CancelWritesNothing) {
  MakeWindow();
  AddRows(1);
  ExportTo("");
  EXPECT_EQ(dialogCalls_.size(), 1u);
  EXPECT_TRUE(std::filesystem::is_empty(folder_.Path()));
  window_->ShowProgress();
  EXPECT_TRUE(Find<QPlainTextEdit>("编辑框提示")->toPlainText().isEmpty());
}

}  // namespace
}  // namespace dt::shell

namespace dt::shell {
namespace {

// The window over a kept list, as the program wires them.
// One number the file gives, read as another program reads it.
int FromFile(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  int value = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    value = sqlite3_column_int(stmt, 0);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return value;
}

class KeptListWindowTest : public ExportWindowTest {
 protected:
  void SetUp() override {
    MakeWindow();
    keeper_ = std::make_unique<ResultsKeeper>(folder_.File("results.sqlite"), Quick);
    keeper_->Start({[this](std::vector<ShopRow>&& rows) {
                      engine_.collector().Results().Put(std::move(rows));
                    },
                    {}});
    window_->SetResultsKeeper(keeper_.get());
  }
  inline static const KeeperOptions Quick = [] {
    KeeperOptions options;
    options.batch = 10ms;
    return options;
  }();
  void Found(std::int64_t number) {
    ShopCells cells;
    cells[kColAccount] = "seller" + std::to_string(number);
    cells[kColShopName] = G("店") + std::to_string(number);
    cells[kColAddress] = "http://shop" + std::to_string(number) + ".taobao.com/";
    keeper_->Found(number, cells);
  }
  void Commit() {
    ASSERT_TRUE(keeper_->Commit(5s));
    window_->ShowProgress();
  }
  void SelectRows(int top, int bottom) {
    QAbstractItemModel* model = window_->ResultsView()->model();
    window_->ResultsView()->selectionModel()->select(
        QItemSelection(model->index(top, 0), model->index(bottom, 0)),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  }
  ResultsStore& Store() { return engine_.collector().Results(); }
  std::unique_ptr<ResultsKeeper> keeper_;
};

TEST_F(KeptListWindowTest, TheMenuCopiesDeletesAndExportsOnlyNewRowsAndTheFileKeepsIt) {
  QString captions;
  for (QAction* action : window_->ResultsView()->actions()) captions += action->text() + "|";
  EXPECT_EQ(captions, "复制|打开店铺||删除所选行|清空列表||只导出未导出的店铺|");
  for (std::int64_t n = 11; n <= 15; ++n) Found(n);
  Commit();
  ASSERT_EQ(Store().RowCount(), 5u);

  SelectRows(1, 2);
  EXPECT_EQ(window_->SelectedRowsText(),
            "2\tseller12\t店12\thttp://shop12.taobao.com/\t\t\t\n"
            "3\tseller13\t店13\thttp://shop13.taobao.com/\t\t\t\n");
  window_->DeleteRowsAction()->trigger();
  EXPECT_EQ(Store().Numbers(10), (std::vector<std::int64_t>{11, 14, 15}));
  EXPECT_EQ(Store().Cell(1, kColOrdinal), "2") << "the ordinal is the row's place";
  QAbstractItemModel* model = window_->ResultsView()->model();
  EXPECT_EQ(model->rowCount(), 3);
  ASSERT_TRUE(model->setData(model->index(0, 0), QStringLiteral("甲")));

  // A whole export marks every row; the new-only export then writes the
  // rows found since, and nothing once they are written.
  ExportTo(folder_.File("all.txt"));
  EXPECT_EQ(Store().UnexportedCount(), 0u);
  Found(16);
  Found(14);  // found again: in place, still exported
  Commit();
  const std::string fresh = folder_.File("new.txt");
  dialogCalls_.clear();
  window_->SetSaveFileDialog([this, fresh](std::string_view, std::string_view, std::string_view) {
    dialogCalls_.push_back({});
    return fresh;
  });
  window_->ExportNewAction()->trigger();
  EXPECT_EQ(dt::testing::ReadBytes(fresh), "seller16 " + G("店") + "16\r\n");
  window_->ExportNewAction()->trigger();
  EXPECT_EQ(dialogCalls_.size(), 1u) << "nothing new: no dialog";
  EXPECT_TRUE(Find<QPlainTextEdit>("编辑框提示")->toPlainText().contains("没有未导出的店铺"));
  Found(17);
  Commit();
  EXPECT_TRUE(window_->StatusAnswerText().ends_with(" rows=5 unexported=1"))
      << window_->StatusAnswerText();

  keeper_.reset();  // the end of the program: what is pending is committed
  ResultsStore again;
  ResultsKeeper next(folder_.File("results.sqlite"), Quick);
  next.Start({[&again](std::vector<ShopRow>&& rows) { again.Put(std::move(rows)); }, {}});
  ASSERT_TRUE(next.Commit(5s));
  for (int i = 0; i < 200 && next.Loading(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(again.Numbers(10), (std::vector<std::int64_t>{11, 14, 15, 16, 17}));
  EXPECT_EQ(again.Cell(0, kColOrdinal), G("甲"));
  EXPECT_EQ(again.UnexportedRows(), (std::vector<std::size_t>{4}));
}

// A kill right after an export finds its marks in the file, though the
// keeper's batches are slow.
TEST_F(KeptListWindowTest, AnExportsMarksAreInTheFileWhenItEnds) {
  keeper_.reset();
  KeeperOptions slow = Quick;
  slow.batch = 60s;
  keeper_ = std::make_unique<ResultsKeeper>(folder_.File("results.sqlite"), slow);
  keeper_->Start(
      {[this](std::vector<ShopRow>&& rows) { engine_.collector().Results().Put(std::move(rows)); },
       {}});
  window_->SetResultsKeeper(keeper_.get());
  for (std::int64_t n = 1; n <= 3; ++n) Found(n);
  Commit();
  ExportTo(folder_.File("all.txt"));
  EXPECT_EQ(FromFile(folder_.File("results.sqlite"), "SELECT count(exported) FROM shops"), 3);
}

// A large deletion goes in steps between the window's events: the list's
// other actions wait for its end, and a close finishes it.
TEST_F(KeptListWindowTest, ALargeDeletionGoesInStepsAndAllOfItReachesTheFile) {
  constexpr int kRows = 25000;
  for (int close = 0; close < 2; ++close) {
    for (std::int64_t n = 1; n <= kRows; ++n) Found(n);
    Commit();
    ASSERT_EQ(Store().RowCount(), std::size_t{kRows});
    SelectRows(1, 15000);
    QAbstractItemModel* model = window_->ResultsView()->model();
    window_->ResultsView()->selectionModel()->select(
        QItemSelection(model->index(15002, 0), model->index(kRows - 2, 0)),
        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    window_->DeleteRowsAction()->trigger();
    EXPECT_GT(Store().RowCount(), 3u) << "all of it in one step";
    EXPECT_FALSE(window_->ClearListAction()->isEnabled());
    EXPECT_FALSE(window_->ExportNewAction()->isEnabled());
    if (close == 1) {
      window_->close();
    } else {
      for (int i = 0; i < 1000 && Store().RowCount() > 3; ++i) QCoreApplication::processEvents();
    }
    EXPECT_EQ(Store().Numbers(10), (std::vector<std::int64_t>{1, 15002, kRows}));
    window_->ShowProgress();
    EXPECT_TRUE(window_->DeleteRowsAction()->isEnabled());
    EXPECT_TRUE(window_->ExportNewAction()->isEnabled());
    Commit();
    EXPECT_EQ(model->rowCount(), 3);
    EXPECT_EQ(FromFile(folder_.File("results.sqlite"), "SELECT sum(number) FROM shops"),
              1 + 15002 + kRows);
    keeper_->Clear();
    window_->Model().RemoveAll();
  }
  Commit();
}

TEST_F(KeptListWindowTest, ClearingAsksWithTheRowCountAndNumbersAgainFromOne) {
  for (std::int64_t n = 1; n <= 5; ++n) Found(n);
  Commit();
  // A selection in pieces goes in one step.
  SelectRows(0, 0);
  QAbstractItemModel* model = window_->ResultsView()->model();
  for (const int row : {2, 4}) {
    window_->ResultsView()->selectionModel()->select(
        model->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  window_->DeleteRowsAction()->trigger();
  EXPECT_EQ(Store().Numbers(10), (std::vector<std::int64_t>{2, 4}));
  EXPECT_EQ(model->rowCount(), 2);
  EXPECT_EQ(Store().Cell(1, kColOrdinal), "2");
  Found(3);
  Commit();
  std::vector<QString> asked;
  bool answer = false;
  window_->SetConfirm([&](const QString& question) {
    asked.push_back(question);
    return answer;
  });
  window_->ClearListAction()->trigger();
  EXPECT_EQ(asked, (std::vector<QString>{"清空列表，删除全部 3 行？"}));
  EXPECT_EQ(Store().RowCount(), 3u) << "a No keeps the list";
  answer = true;
  window_->ClearListAction()->trigger();
  EXPECT_EQ(Store().RowCount(), 0u);
  EXPECT_EQ(window_->ResultsView()->model()->rowCount(), 0);
  Found(2);
  Commit();
  EXPECT_EQ(Store().Cell(0, kColOrdinal), "1");
  EXPECT_EQ(Store().Number(0), 2);
}

// With 跟踪新店 ticked the start button starts a follow run: from the kept
// state when there is one, else above the highest listed shop. The boxes live
// in dovetrail.conf, and the news of a poll brings its shops up selected.
TEST(FollowControlsTest, StartsFromTheKeptStateElseTheHighestShopAndShowsTheNews) {
  testing::App();
  QTemporaryDir folder;
  const std::string conf = folder.filePath("dovetrail.conf").toStdString();
  const auto firstAsked = [&](const std::string& kept) {
    std::mutex mutex;
    std::vector<std::int64_t> asked;
    CollectorConfig config;
    config.paceRules = dt::testing::QuickPaceRules();
    config.fetchPage = [&](std::string& address, FetchOutcome& outcome) {
      {
        const std::lock_guard<std::mutex> guard(mutex);
        asked.push_back(ToInteger(address.substr(std::string("http://shop").size())));
      }
      outcome.transport = Transport::Complete;
      outcome.status = 200;
      outcome.finalAddress = address;
      return std::string("<html></html>");
    };
    testing::TestEngine engine(std::move(config));
    Collector& collector = engine.collector();
    std::vector<ShopRow> rows(2);
    rows[0].number = 900;
    rows[1].number = 500;
    collector.Results().Put(std::move(rows));
    testing::RecordingLauncher launcher;
    MainWindow window(collector, launcher);
    ProgramCore core;
    core.collector = &collector;
    core.savedFollowState = kept;
    FollowControls follow(window, collector, core, conf);
    follow.FollowBox()->setChecked(true);
    follow.PollBox()->setValue(5);
    window.ClickStart();
    EXPECT_EQ(collector.Progress().mode, RunMode::Follow);
    for (int i = 0; i < 500; ++i) {
      {
        const std::lock_guard<std::mutex> guard(mutex);
        if (!asked.empty()) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    window.ClickStart();  // stops
    EXPECT_FALSE(collector.Run().Running());
    collector.Run().WaitUntilIdle(std::chrono::seconds(10));
    window.ShowProgress();
    follow.ShowShops({500});
    const QModelIndexList selected = window.ResultsView()->selectionModel()->selectedRows();
    EXPECT_EQ(selected.size(), 1);
    if (!selected.isEmpty()) {
      EXPECT_EQ(collector.Results().Number(static_cast<std::size_t>(selected[0].row())), 500);
    }
    const std::lock_guard<std::mutex> guard(mutex);
    return asked.empty() ? std::int64_t{0} : asked.front();
  };
  // The poll of a kept state reads its known shop again first.
  EXPECT_EQ(firstAsked("dovetrail-follow 1\nfrontier=5000\ngap=3\nnext_poll=0\nknown=4990\n"),
            4990);
  EXPECT_TRUE(ReadFollowSettings(conf).on);
  EXPECT_EQ(ReadFollowSettings(conf).pollSeconds, 5);
  // A kept state that is not one counts as none: the top is looked for above
  // the highest listed shop.
  const std::int64_t first = firstAsked("dovetrail-follow 1\nfrontier=x\n");
  EXPECT_GE(first, 900);
  EXPECT_LT(first, 5000);
}

}  // namespace
}  // namespace dt::shell
