#include "collect/results_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "text/gbk_text.h"

namespace dt {
namespace {

ResultsStore::Cells Shop(const std::string& account) {
  return {"ignored",    account, "", "\xB2\xE8\xCE\xDD", "http://shop1.taobao.com/",
          "2011-08-20", "0",     ""};
}

TEST(ResultsStore, OrdinalContinuesFromEarlierRows) {
  ResultsStore store;
  EXPECT_EQ(store.AppendNumberedRow(Shop("a")), 0u);
  for (int i = 0; i < 4; ++i) store.AppendNumberedRow(Shop("b"));
  EXPECT_EQ(store.AppendNumberedRow(Shop("c")), 5u);
  EXPECT_EQ(store.Cell(0, kColOrdinal), "1");
  EXPECT_EQ(store.Cell(5, kColOrdinal), "6");
  EXPECT_EQ(store.Cell(5, kColAccount), "c");
  EXPECT_EQ(store.Cell(5, kColShopName), "\xB2\xE8\xCE\xDD");
  EXPECT_EQ(store.Cell(5, kColItems), "");
}

TEST(ResultsStore, MissingRowsAndColumnsReadEmpty) {
  ResultsStore store;
  EXPECT_EQ(store.Cell(0, 1), "");
  store.AppendNumberedRow(Shop("a"));
  EXPECT_EQ(store.Cell(1, 1), "");
  EXPECT_EQ(store.Cell(0, 8), "");
  EXPECT_EQ(store.Cell(0, -1), "");
  store.SetCell(3, 1, "x");  // no such row: nothing happens
  EXPECT_EQ(store.RowCount(), 1u);
}

TEST(ResultsStore, CellsKeepEveryByte) {
  ResultsStore store;
  const std::string account = std::string("\n\ttea\r\0x", 8);
  store.AppendNumberedRow(Shop(account));
  EXPECT_EQ(store.Cell(0, kColAccount), account);
  store.SetCell(0, kColOrdinal, "edited");
  EXPECT_EQ(store.Cell(0, kColOrdinal), "edited");
  EXPECT_EQ(store.Cell(0, kColAccount), account);
  EXPECT_EQ(store.Cell(0, kColAddress), "http://shop1.taobao.com/");
}

TEST(ResultsStore, ReadersSeeWholeRowsWhileTasksAppend) {
  ResultsStore store;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) store.AppendNumberedRow(Shop("acc" + ToText(i)));
    done = true;
  });
  std::size_t seen = 0;
  while (!done || seen < store.RowCount()) {
    const std::size_t n = store.RowCount();
    for (; seen < n; ++seen) {
      ASSERT_EQ(store.Cell(seen, kColOrdinal), ToText(static_cast<long long>(seen) + 1));
      ASSERT_EQ(store.Cell(seen, kColAccount), "acc" + ToText(static_cast<long long>(seen)));
    }
  }
  writer.join();
  EXPECT_EQ(seen, 20000u);
}

}  // namespace
}  // namespace dt
