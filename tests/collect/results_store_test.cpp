#include "collect/results_store.h"

#include <gtest/gtest.h>

#include <algorithm>
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

namespace dt {
namespace {

std::vector<ShopRow> Shops(std::initializer_list<std::int64_t> numbers, const std::string& name) {
  std::vector<ShopRow> rows;
  for (const std::int64_t n : numbers) {
    ShopRow row;
    row.number = n;
    row.cells[kColShopName] = name + std::to_string(n);
    rows.push_back(row);
  }
  return rows;
}

// Removing pieces of the list: the rows left keep their order, the ordinal
// is the place, a shop found again after a removal updates the right row,
// and the unexported count follows.
TEST(ResultsStore, RemovedRangesLeaveTheOthersInOrderAndFindableByNumber) {
  const struct {
    const char* what;
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    std::vector<std::int64_t> left;
  } cases[] = {
      {"nothing", {}, {1, 2, 3, 4, 5, 6}},
      {"the first row", {{0, 0}}, {2, 3, 4, 5, 6}},
      {"the last row", {{5, 5}}, {1, 2, 3, 4, 5}},
      {"pieces", {{0, 1}, {3, 3}, {5, 5}}, {3, 5}},
      {"a piece past the end", {{4, 9}}, {1, 2, 3, 4}},
      {"everything", {{0, 5}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ResultsStore store;
    store.Put(Shops({1, 2, 3, 4, 5, 6}, "a"));
    store.MarkExported({2, 4});
    const std::vector<std::int64_t> removed = store.RemoveRanges(c.ranges);
    EXPECT_EQ(store.Numbers(100), c.left);
    EXPECT_EQ(removed.size() + c.left.size(), 6u);
    std::size_t unexported = 0;
    for (std::size_t row = 0; row < c.left.size(); ++row) {
      EXPECT_EQ(store.Cell(row, kColOrdinal), std::to_string(row + 1));
      if (c.left[row] != 2 && c.left[row] != 4) ++unexported;
    }
    EXPECT_EQ(store.UnexportedCount(), unexported);
    store.Put(Shops({6, 7}, "b"));
    const std::vector<std::int64_t> numbers = store.Numbers(100);
    const auto at6 = std::find(numbers.begin(), numbers.end(), 6) - numbers.begin();
    EXPECT_EQ(store.Cell(static_cast<std::size_t>(at6), kColShopName), "b6");
    EXPECT_EQ(store.RowCount(), c.left.size() + (c.left.empty() || c.left.back() != 6 ? 2 : 1));
  }
}

}  // namespace
}  // namespace dt
