// The results list's model over the store: GBK cells become display text only
// in the model, rows appear in batches, and a million rows stay cheap.
#include "shell/results_model.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QHeaderView>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include "shell_test_support.h"

namespace dt::shell {
namespace {

using testing::G;

ResultsStore::Cells Row(std::string account, std::string name = {}) {
  ResultsStore::Cells cells;
  cells[kColAccount] = std::move(account);
  cells[kColShopName] = std::move(name);
  cells[kColAddress] = "http://shop1.taobao.com/";
  return cells;
}

class ResultsModelTest : public ::testing::Test, protected testing::WithApp {
 protected:
  QString Text(int row, int column, int role = Qt::DisplayRole) {
    return model_.data(model_.index(row, column), role).toString();
  }
  ResultsStore store_;
  ResultsModel model_{store_};
};

TEST_F(ResultsModelTest, CellsShowTheirGbkBytesAsText) {
  const struct {
    std::string bytes;
    QString shown;
  } cases[] = {
      {G("卖家旺旺"), QString::fromUtf8("卖家旺旺")},
      {"plain ascii", QStringLiteral("plain ascii")},
      {"", QString()},
      // Bytes that are no GBK character show as replacement characters.
      {"ab\xFF\xFF", QString::fromUtf8("ab\xEF\xBF\xBD\xEF\xBF\xBD")},
      {"\x81", QString::fromUtf8("\xEF\xBF\xBD")},
      // Control bytes of an account keep the row on one line.
      {"a\tb\r\nc", QStringLiteral("a b  c")},
  };
  for (const auto& c : cases) store_.AppendNumberedRow(Row(c.bytes));
  model_.ShowNewRows();
  ASSERT_EQ(model_.rowCount(), static_cast<int>(std::size(cases)));
  for (int i = 0; i < model_.rowCount(); ++i) {
    EXPECT_EQ(Text(i, kColAccount), cases[i].shown) << i;
    EXPECT_EQ(Text(i, kColOrdinal), QString::number(i + 1));
    EXPECT_EQ(Text(i, kColState), QString());
  }
  // The store keeps the bytes the page gave.
  EXPECT_EQ(store_.Cell(5, kColAccount), "a\tb\r\nc");
  // Outside the rows shown there is nothing.
  EXPECT_FALSE(model_.data(model_.index(99, 1)).isValid());
}

TEST_F(ResultsModelTest, AHugeCellShowsOnlyItsBeginningAndTheStoreKeepsAll) {
  // A page may carry a shop name of megabytes; laying all of it out on every
  // repaint would stall the window for seconds.
  const std::string cjk = G("店");
  std::string huge;
  for (int i = 0; i < 2'000'000; ++i) huge += cjk;
  // An odd start puts a character's two bytes across any even cut.
  const std::string odd = "a" + huge;
  store_.AppendNumberedRow(Row(huge, odd));
  model_.ShowNewRows();
  for (int column : {kColAccount, kColShopName}) {
    SCOPED_TRACE(column);
    const QString shown = Text(0, column);
    EXPECT_GE(shown.size(), 100);
    EXPECT_LE(shown.size(), 1024);
    EXPECT_FALSE(shown.contains(QChar::ReplacementCharacter)) << "cut inside a character";
    const std::string& bytes = column == kColAccount ? huge : odd;
    EXPECT_EQ(G(shown.toStdString()), bytes.substr(0, G(shown.toStdString()).size()));
  }
  EXPECT_EQ(store_.Cell(0, kColAccount), huge);
  EXPECT_EQ(store_.Cell(0, kColShopName), odd);

  // A shown view repaints that row at once.
  QTableView view;
  view.setModel(&model_);
  view.setColumnWidth(kColShopName, 180);
  view.resize(700, 200);
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  QElapsedTimer clock;
  clock.start();
  view.viewport()->repaint();
  // A few ms are usual; the bound leaves room for a busy machine.
  EXPECT_LT(clock.elapsed(), 1000) << "ms for one repaint";
}

TEST_F(ResultsModelTest, RowsAppearOnlyInBatchesOfWhatIsNew) {
  QSignalSpy inserted(&model_, &QAbstractItemModel::rowsInserted);
  for (int i = 0; i < 3; ++i) store_.AppendNumberedRow(Row("a"));
  EXPECT_EQ(model_.rowCount(), 0);  // not before the batch
  EXPECT_EQ(model_.ShowNewRows(), 3u);
  EXPECT_EQ(model_.rowCount(), 3);
  EXPECT_EQ(model_.ShowNewRows(), 0u);
  store_.AppendNumberedRow(Row("b"));
  store_.AppendNumberedRow(Row("c"));
  EXPECT_EQ(model_.ShowNewRows(), 2u);
  ASSERT_EQ(inserted.count(), 2);
  EXPECT_EQ(inserted[0][1].toInt(), 0);
  EXPECT_EQ(inserted[0][2].toInt(), 2);
  EXPECT_EQ(inserted[1][1].toInt(), 3);
  EXPECT_EQ(inserted[1][2].toInt(), 4);
  EXPECT_EQ(Text(4, kColAccount), QStringLiteral("c"));
}

TEST_F(ResultsModelTest, OnlyTheFirstColumnIsEditedAndTheEditIsKept) {
  store_.AppendNumberedRow(Row("acct", G("店")));
  model_.ShowNewRows();
  for (int column = 0; column < kResultColumns; ++column) {
    EXPECT_EQ(bool(model_.flags(model_.index(0, column)) & Qt::ItemIsEditable),
              column == kColOrdinal)
        << column;
  }
  EXPECT_TRUE(model_.setData(model_.index(0, kColOrdinal), QString::fromUtf8("备注")));
  EXPECT_EQ(store_.Cell(0, kColOrdinal), G("备注"));
  EXPECT_EQ(Text(0, kColOrdinal), QString::fromUtf8("备注"));
  EXPECT_FALSE(model_.setData(model_.index(0, kColShopName), QStringLiteral("x")));
  EXPECT_EQ(store_.Cell(0, kColShopName), G("店"));
  // An editor left without typing changes nothing: the place still follows.
  store_.AppendNumberedRow(Row("b", "b"));
  store_.AppendNumberedRow(Row("c", "c"));
  model_.ShowNewRows();
  int edited = 0;
  model_.SetOrdinalEdited([&](std::int64_t, const std::string&) { ++edited; });
  EXPECT_TRUE(
      model_.setData(model_.index(2, kColOrdinal), model_.data(model_.index(2, 0), Qt::EditRole)));
  model_.RemoveRows(1, 1);
  EXPECT_EQ(Text(1, kColOrdinal), QStringLiteral("2"));
  EXPECT_EQ(edited, 0);
}

TEST_F(ResultsModelTest, AMillionRowsInBatchesStayCheapInAShownView) {
  QTableView view;
  view.setModel(&model_);
  view.verticalHeader()->hide();
  view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view.resize(700, 400);
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));

  constexpr int kRows = 1'000'000;
  constexpr int kBatch = 10'000;
  QElapsedTimer clock;
  qint64 slowest = 0;
  for (int done = 0; done < kRows; done += kBatch) {
    for (int i = 0; i < kBatch; ++i) store_.AppendNumberedRow(Row("account", "shop"));
    clock.start();
    model_.ShowNewRows();
    view.scrollToBottom();
    QCoreApplication::processEvents();
    slowest = std::max(slowest, clock.elapsed());
  }
  EXPECT_EQ(model_.rowCount(), kRows);
  // One batch costs the window the same whatever the rows before it: no work
  // per row already shown.
  // A few ms are usual; the bound leaves room for a busy machine.
  EXPECT_LT(slowest, 1000) << "ms for one batch";
  EXPECT_EQ(Text(kRows - 1, kColOrdinal), QString::number(kRows));
}

}  // namespace
}  // namespace dt::shell
