// A run in the window itself: the real fetcher through the marketplace
// simulator as the HTTP proxy fills the results list and the status box.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include <QLabel>
#include <QTemporaryDir>

#include "settings/control_states.h"
#include "shell/qt_savable_controls.h"
#include "shell/results_model.h"
#include "shoppage/fetch_page.h"
#include "tests/shell/shell_test_support.h"
#include "tests/support/quick_pace.h"
#include "tools/marketsim/marketsim.h"

namespace dt::shell {
namespace {

using namespace std::chrono_literals;
using testing::G;

TEST(WindowRunTest, ARunOverTheSimulatedMarketFillsTheListAndTheStatusBox) {
  testing::App();
  marketsim::Options market;
  market.seed = 99;
  market.density = 0.8;
  market.latencyMs = 20;  // a run long enough for the readout to change
  market.faultShare = 0.1;
  market.faultKinds = {marketsim::Fault::Refuse};
  marketsim::Server sim(market);
  const int port = sim.Start();
  ASSERT_GT(port, 0);
  const std::string proxy = "http://127.0.0.1:" + std::to_string(port);
  setenv("http_proxy", proxy.c_str(), 1);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  InitPageFetcher();

  constexpr int kFirst = 500, kLast = 549;
  std::set<std::string> accepted, rejectedNotes;
  for (const auto& shop : marketsim::Truth(market, kFirst, kLast)) {
    if (shop.creditLevel == "0") {
      accepted.insert(shop.shopAddress);
    } else {
      rejectedNotes.insert("过滤 " + std::to_string(shop.number));
    }
  }
  ASSERT_FALSE(accepted.empty());
  ASSERT_FALSE(rejectedNotes.empty());
  int refused = 0;
  for (int n = kFirst; n <= kLast; ++n) refused += FaultFor(market, n) == marketsim::Fault::Refuse;
  ASSERT_GT(refused, 0);

  testing::TestEngine engine(CollectorConfig{
      [](std::string& address, FetchOutcome& outcome) { return FetchPage(address, outcome); },
      {},
      {},
      dt::testing::QuickPaceRules()});
  testing::RecordingLauncher launcher;
  MainWindow window(engine.collector(), launcher);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.ControlAs<QLineEdit>(G("编辑框编号1"))->setText(QString::number(kFirst));
  window.ControlAs<QLineEdit>(G("编辑框编号2"))->setText(QString::number(kLast));
  window.ControlAs<QCheckBox>(G("选择框0信用"))->setChecked(true);
  QTest::mouseClick(window.ControlAs<QPushButton>(G("按钮开始1")), Qt::LeftButton);

  QAbstractItemModel* model = window.ResultsView()->model();
  std::set<QString> readouts;  // what the readout showed while the run went on
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        readouts.insert(window.Readout()->text());
        return model->rowCount() == static_cast<int>(accepted.size());
      },
      30000));
  ASSERT_TRUE(engine.collector().Run().WaitUntilIdle(30s));
  QTest::qWait(2 * MainWindow::kRefreshMilliseconds);
  EXPECT_GE(readouts.size(), 3u);

  // The figures at the end are the simulator's truth.
  const RunProgress progress = engine.collector().Run().Progress();
  EXPECT_EQ(progress.state, RunState::Finished);
  EXPECT_EQ(progress.done, kLast - kFirst + 1);
  EXPECT_EQ(progress.shops, static_cast<int>(accepted.size()));
  EXPECT_EQ(progress.filtered, static_cast<int>(rejectedNotes.size()));
  EXPECT_EQ(progress.failed, refused);
  EXPECT_EQ(progress.resume, std::nullopt);
  const QString shown = window.Readout()->text();
  EXPECT_TRUE(shown.contains(QString::fromUtf8("完成 50/50 (100.00%)"))) << shown.toStdString();
  EXPECT_TRUE(shown.contains(QString::fromUtf8("店铺 %1  过滤 %2  失败 %3")
                                 .arg(accepted.size())
                                 .arg(rejectedNotes.size())
                                 .arg(refused)))
      << shown.toStdString();
  EXPECT_EQ(window.StatusAnswerText().rfind("state=finished first=500 last=549 ", 0), 0u);

  // The readout is no control of the settings: the file holds the form's keys
  // alone.
  QTemporaryDir folder;
  const std::string settings = folder.filePath("Quorle.ini").toStdString();
  ASSERT_TRUE(SaveControlStates(Pointers(window.Controls()), settings, "Dovetrail",
                                "\xB1\xE0\xBC\xAD\xBF\xF2\xCC\xE1\xCA\xBE/"));
  QFile file(QString::fromStdString(settings));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray saved = file.readAll();
  EXPECT_EQ(saved.count("\r\n"), 15) << saved.toStdString();
  EXPECT_FALSE(saved.contains("progress"));

  ASSERT_EQ(model->rowCount(), static_cast<int>(accepted.size()));
  std::set<std::string> listed;
  for (int row = 0; row < model->rowCount(); ++row) {
    EXPECT_EQ(model->index(row, 0).data().toString(), QString::number(row + 1));
    listed.insert(model->index(row, 4).data().toString().toStdString());
  }
  EXPECT_EQ(listed, accepted);

  const QString status = window.ControlAs<QPlainTextEdit>(G("编辑框提示"))->toPlainText();
  for (const auto& note : rejectedNotes)
    EXPECT_TRUE(status.contains(QString::fromStdString(note))) << note;
  EXPECT_EQ(status.count(QStringLiteral("过滤 ")), static_cast<int>(rejectedNotes.size()));

  // The refused numbers are offered again; a click runs exactly them, and as
  // the marketplace still refuses them they stay in the list, while the
  // range's resume point is left alone.
  QPushButton* retry = window.RetryFailedButton();
  ASSERT_TRUE(retry->isVisible());
  EXPECT_EQ(retry->text(), QString::fromUtf8("重试失败 (%1)").arg(refused));
  const int requestsBefore = sim.TotalRequests();
  QTest::mouseClick(retry, Qt::LeftButton);
  EXPECT_FALSE(retry->isVisible());
  ASSERT_TRUE(engine.collector().Run().WaitUntilIdle(30s));
  QTest::qWait(2 * MainWindow::kRefreshMilliseconds);
  const RunProgress again = engine.collector().Run().Progress();
  EXPECT_EQ(again.listSize, refused);
  EXPECT_EQ(again.done, refused);
  EXPECT_EQ(again.failedKept, refused);
  EXPECT_EQ(sim.TotalRequests() - requestsBefore, refused * dt::testing::QuickPaceRules().attempts);
  EXPECT_TRUE(retry->isVisible());
  EXPECT_FALSE(window.ResumeButton()->isVisible());
  unsetenv("http_proxy");
  sim.Stop();
}

// Rows pour in from task threads while the window runs: the window thread
// keeps serving its events, falling behind by no more than about a refresh.
TEST(WindowRunTest, RowsFromTaskThreadsNeverStallTheWindow) {
  testing::App();
  testing::TestEngine engine{CollectorConfig{}};
  testing::RecordingLauncher launcher;
  MainWindow window(engine.collector(), launcher);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

  // The longest gap between ticks of a fast timer on the window thread.
  QElapsedTimer sinceTick;
  qint64 longestGap = 0;
  QTimer tick;
  tick.setInterval(5);
  QObject::connect(&tick, &QTimer::timeout,
                   [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
  sinceTick.start();
  tick.start();

  constexpr int kThreads = 2, kRowsEach = 50'000;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&engine, t] {
      for (int i = 0; i < kRowsEach; ++i) {
        ResultsStore::Cells cells;
        cells[kColAccount] = "seller" + std::to_string(t) + "-" + std::to_string(i);
        cells[kColAddress] = "http://shop" + std::to_string(i) + ".taobao.com/";
        engine.collector().Results().AppendNumberedRow(cells);
      }
    });
  }
  QAbstractItemModel* model = window.ResultsView()->model();
  const bool allShown =
      QTest::qWaitFor([&] { return model->rowCount() == kThreads * kRowsEach; }, 60000);
  for (auto& writer : writers) writer.join();
  ASSERT_TRUE(allShown);
  tick.stop();
  // Ten refresh periods: room for a busy machine, far below the seconds a
  // window waiting for the writers or taking every row at once would stall.
  EXPECT_LT(longestGap, 10 * MainWindow::kRefreshMilliseconds)
      << "the window thread stalled for " << longestGap << " ms";
  EXPECT_EQ(model->index(kThreads * kRowsEach - 1, 0).data().toInt(), kThreads * kRowsEach);
}

}  // namespace
}  // namespace dt::shell
