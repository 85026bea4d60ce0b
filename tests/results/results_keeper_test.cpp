#include "results/results_keeper.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <thread>

#include "collect/results_store.h"
#include "tests/support/temp_folder.h"

namespace dt {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

ShopCells Shop(std::int64_t number, std::string name) {
  return {"",
          "seller" + std::to_string(number),
          "",
          std::move(name),
          "http://shop" + std::to_string(number) + ".taobao.com/",
          "2011-08-20",
          "0",
          "3"};
}

KeeperOptions Quick(std::chrono::milliseconds batch = 20ms) {
  KeeperOptions options;
  options.batch = batch;
  options.retryPause = 50ms;
  options.db.busyTimeout = 300ms;
  return options;
}

// A keeper over a store, as the program wires them, with what it said.
struct Kept {
  explicit Kept(const std::string& path, KeeperOptions options = Quick())
      : keeper(std::make_unique<ResultsKeeper>(path, options)) {
    keeper->OnKept(
        [this](const auto& numbers) { told.insert(told.end(), numbers.begin(), numbers.end()); });
    keeper->Start({[this](std::vector<ShopRow>&& rows) { store.Put(std::move(rows)); },
                   [this](std::string_view line) { said.emplace_back(line); }});
    for (int i = 0; i < 500 && keeper->Loading(); ++i) std::this_thread::sleep_for(10ms);
  }
  ResultsStore store;
  std::vector<std::string> said;   // written by the writer thread only
  std::vector<std::int64_t> told;  // numbers said kept, the same
  std::unique_ptr<ResultsKeeper> keeper;
};

// A connection of another program.
struct Other {
  explicit Other(const std::string& path, int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, flags, nullptr), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
  }
  ~Other() { sqlite3_close(db); }
  int Exec(const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  std::string Text(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    std::string text;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr) {
      text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return text;
  }
  sqlite3* db = nullptr;
};

TEST(ResultsKeeper, KeptRowsComeBackByteForByteInOrderOneRowPerShop) {
  testing::TempFolder folder;
  const std::string path = folder.File("results.sqlite");
  const std::string tea = "\xB2\xE8\xCE\xDD";                         // 茶屋: TEXT in the file
  const std::string broken = std::string("\x81\x20\xFF\0\t\r\n", 7);  // no GBK: a BLOB
  ShopCells changed = Shop(20, "again");
  changed[kColAddress] = "http://moved.example/";
  changed[kColCredit] = "12";
  changed[kColItems] = "0";
  {
    Kept kept(path);
    for (std::int64_t n = 10; n <= 50; n += 10) kept.keeper->Found(n, Shop(n, tea));
    kept.keeper->Found(60, Shop(60, broken));
    ASSERT_TRUE(kept.keeper->Commit(5s));
    kept.keeper->Found(20, changed);  // found again: in place, every cell new
    kept.keeper->SetOrdinal(30, "\xCE\xD2");
    kept.keeper->Remove(kept.store.RemoveRows(0, 1));  // 10 goes
    kept.store.MarkExported({40});
    kept.keeper->MarkExported({40});
    ASSERT_TRUE(kept.keeper->Commit(5s));
    EXPECT_EQ(kept.store.UnexportedCount(), 4u);
    EXPECT_TRUE(kept.said.empty());
  }
  Other reader(path);
  EXPECT_EQ(reader.Text("SELECT name FROM shops WHERE number=30"), "茶屋");
  EXPECT_EQ(reader.Text("SELECT typeof(name) FROM shops WHERE number=60"), "blob");
  EXPECT_EQ(reader.Text("PRAGMA user_version") + reader.Text("PRAGMA journal_mode"), "1wal");

  Kept again(path);
  ASSERT_EQ(again.store.Numbers(10), (std::vector<std::int64_t>{20, 30, 40, 50, 60}));
  EXPECT_EQ(again.store.UnexportedCount(), 4u);
  ShopCells first = changed;
  first[kColOrdinal] = "1";
  EXPECT_EQ(again.store.RowCells(0), first);
  EXPECT_EQ(again.store.Cell(1, kColOrdinal) + again.store.Cell(2, kColOrdinal),
            "\xCE\xD2"
            "3");
  EXPECT_EQ(again.store.Cell(4, kColShopName), broken);
  EXPECT_EQ(again.store.UnexportedRows(), (std::vector<std::size_t>{0, 1, 3, 4}));
  // Found again: its place, its ordinal text and its export mark stay.
  again.keeper->Found(30, Shop(30, "third"));
  again.keeper->Found(40, Shop(40, "fourth"));
  ASSERT_TRUE(again.keeper->Commit(5s));
  EXPECT_EQ(again.store.Numbers(10), (std::vector<std::int64_t>{20, 30, 40, 50, 60}));
  EXPECT_EQ(again.store.Cell(1, kColOrdinal) + again.store.Cell(1, kColShopName), "\xCE\xD2third");
  EXPECT_EQ(again.store.UnexportedCount(), 4u);
  // New shops after a restart come after the kept ones, across the next one.
  again.keeper->Found(70, Shop(70, "new"));
  again.keeper->Found(65, Shop(65, "newer"));
  again.keeper.reset();

  Kept third(path);
  EXPECT_EQ(third.store.Numbers(10), (std::vector<std::int64_t>{20, 30, 40, 50, 60, 70, 65}));
  third.keeper->Clear();
  ASSERT_TRUE(third.keeper->Commit(5s));
  third.keeper.reset();
  Kept fourth(path);
  EXPECT_EQ(fourth.store.RowCount(), 0u) << "a cleared list stays cleared";
}

// A row is shown once its batch is committed, not before; a shop the user
// removed or cleared away while it waited is neither shown nor kept.
TEST(ResultsKeeper, OnlyCommittedRowsAreShown) {
  testing::TempFolder folder;
  const std::string path = folder.File("results.sqlite");
  Kept kept(path, Quick(400ms));
  kept.keeper->Found(1, Shop(1, "a"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(kept.store.RowCount(), 0u) << "shown before its batch was committed";
  for (int i = 0; i < 100 && kept.store.RowCount() == 0; ++i) std::this_thread::sleep_for(10ms);
  Other reader(path);
  EXPECT_EQ(reader.Text("SELECT count(*) FROM shops"), "1");
  kept.keeper->Found(2, Shop(2, "b"));
  kept.keeper->Clear();
  kept.keeper->Found(3, Shop(3, "c"));
  kept.keeper->Found(4, Shop(4, "d"));
  kept.keeper->Remove({4});
  ASSERT_TRUE(kept.keeper->Commit(5s));
  EXPECT_EQ(kept.store.Numbers(10), (std::vector<std::int64_t>{1, 3}));
  EXPECT_EQ(reader.Text("SELECT group_concat(number) FROM shops"), "3");
}

// A shop found again whose row the user removes while the update's batch is
// being written (here: waiting out another program's write) stays removed.
TEST(ResultsKeeper, ARowRemovedWhileItsUpdateIsWrittenStaysRemoved) {
  testing::TempFolder folder;
  const std::string path = folder.File("results.sqlite");
  KeeperOptions options = Quick();
  options.db.busyTimeout = 5000ms;
  Kept kept(path, options);
  kept.keeper->Found(1, Shop(1, "a"));
  ASSERT_TRUE(kept.keeper->Commit(5s));
  Other other(path);
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE; DELETE FROM shops WHERE number=0;"), SQLITE_OK);
  kept.keeper->Found(1, Shop(1, "again"));
  std::this_thread::sleep_for(200ms);  // the batch is taken and waits for the lock
  kept.keeper->Remove({1});            // as the window removes: the keeper first
  kept.store.RemoveRows(0, 1);
  ASSERT_EQ(other.Exec("COMMIT"), SQLITE_OK);
  ASSERT_TRUE(kept.keeper->Commit(5s));
  EXPECT_EQ(kept.store.RowCount(), 0u);
  EXPECT_EQ(other.Text("SELECT count(*) FROM shops"), "0");
}

// The same changes give the same file whether each is committed at once or
// all of them wait behind failed writes (another program holds the file), and
// while they wait, one change per shop is kept.
TEST(ResultsKeeper, ChangesThatWaitBehindFailedWritesAreKeptOncePerShop) {
  const auto changes = [](ResultsKeeper& keeper, const std::function<void()>& each) {
    const auto found = [&](std::int64_t n, const std::string& name) {
      keeper.Found(n, Shop(n, name));
      each();
    };
    for (int round = 0; round < 20; ++round) {
      for (std::int64_t n = 1; n <= 8; ++n) found(n, "r" + std::to_string(round));
    }
    keeper.SetOrdinal(2, "two");
    keeper.MarkExported({2, 3, 4});
    keeper.Remove({3});  // marked, then removed
    keeper.Remove({1});  // removed, then found again
    each();
    found(1, "back");
    found(9, "new");
    keeper.Clear();  // everything before goes
    each();
    for (std::int64_t n : {7, 5, 1}) found(n, "after the clear");
    keeper.SetOrdinal(5, "five");
    each();
    found(5, "found again");  // keeps the typed ordinal
    keeper.MarkExported({7});
    each();
    keeper.Remove({7});
    each();
    found(7, "unmarked");  // a new row at the end, not exported
    keeper.MarkExported({1});
    each();
  };
  const auto file = [](const std::string& path) {
    return Other(path).Text(
        "SELECT group_concat(number || ':' || coalesce(ordinal, '') || ':' || name || ':' || "
        "(exported IS NOT NULL), ' ') FROM (SELECT * FROM shops ORDER BY pos)");
  };
  testing::TempFolder folder;
  const std::string direct = folder.File("direct.sqlite");
  {
    Kept kept(direct);
    changes(*kept.keeper, [&] { ASSERT_TRUE(kept.keeper->Commit(5s)); });
  }
  const std::string held = folder.File("held.sqlite");
  {
    Kept kept(held);
    Other other(held);
    ASSERT_EQ(other.Exec("BEGIN IMMEDIATE; DELETE FROM shops WHERE number=0;"), SQLITE_OK);
    changes(*kept.keeper, [] {});
    for (int i = 0; i < 200 && !kept.keeper->Behind(); ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(500ms);  // one more try, with every change taken
    ASSERT_TRUE(kept.keeper->Behind());
    EXPECT_EQ(kept.keeper->Waiting(), 3u);
    ASSERT_EQ(other.Exec("COMMIT"), SQLITE_OK);
    for (int i = 0; i < 500 && kept.keeper->Behind(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(kept.keeper->Commit(5s));
  }
  EXPECT_EQ(file(direct), "5:five:found again:0 1::after the clear:1 7::unmarked:0");
  EXPECT_EQ(file(held), file(direct));
}

// Each bad condition planted before the start: the list goes on in memory,
// the user's file is never overwritten or deleted (an unreadable one is
// moved aside whole, with its -wal file), and the program says so once, or
// not at all when nothing is wrong for the user.
TEST(ResultsKeeper, BadConditionsNeverStopTheListAndSayWhatHappenedOnce) {
  if (testing::RerunAsOrdinaryUser()) return;
  using Fault = std::shared_ptr<void>;
  const auto makeDb = [](const std::string& path, const std::string& sql) {
    EXPECT_EQ(Other(path).Exec(sql), SQLITE_OK);
  };
  const auto held = [](const std::string& path, const std::string& sql) {
    auto other = std::make_shared<Other>(path);
    EXPECT_EQ(other->Exec(sql), SQLITE_OK);
    return other;
  };
  const struct {
    const char* what;
    std::string_view said;  // the line said once; empty: none
    bool onDisk;            // the new rows reach the file
    bool untouched;         // the planted file keeps its bytes (moved aside: there)
    int maxPages;
    std::chrono::milliseconds busy;
    std::function<Fault(const std::string& path)> plant;
  } cases[] = {
      {"no data folder", {}, false, false, 0, 300ms, nullptr},
      {"a file that is not a database", kResultsMovedAsideMessage, true, true, 0, 300ms,
       [](const std::string& path) -> Fault {
         testing::WriteBytes(path, std::string(5000, 'x'));
         testing::WriteBytes(path + "-wal", "w");
         return nullptr;
       }},
      {"a file damaged inside", kResultsMovedAsideMessage, true, true, 0, 300ms,
       [](const std::string& path) -> Fault {
         {
           Kept kept(path);
           for (std::int64_t n = 1001; n <= 4000; ++n) kept.keeper->Found(n, Shop(n, "n"));
           EXPECT_TRUE(kept.keeper->Commit(10s));
         }
         std::string bytes = testing::ReadBytes(path);
         std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2), 40000, 'Z');
         testing::WriteBytes(path, bytes);
         testing::WriteBytes(path + "-wal", "w");
         return nullptr;
       }},
      {"a file damaged inside, with the -wal and -shm a killed program left",
       kResultsMovedAsideMessage, true, true, 0, 300ms,
       [](const std::string& path) -> Fault {
         // No index yet: the open builds it and meets the damage.
         Other writer(path);
         EXPECT_EQ(writer.Exec("PRAGMA journal_mode=WAL; CREATE TABLE shops(number INTEGER "
                               "PRIMARY KEY, pos, ordinal, account, state, name, address, "
                               "created, credit, items, first_seen, last_seen, exported);"
                               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n "
                               "WHERE i<3000) INSERT INTO shops SELECT i, i, '', 'a', '', "
                               "printf('%200d', i), '', '', '', '', 0, 0, NULL FROM n;"
                               "PRAGMA wal_checkpoint(TRUNCATE);"
                               "UPDATE shops SET name='kept in the wal' WHERE number=1;"),
                   SQLITE_OK);
         EXPECT_EQ(sqlite3_db_config(writer.db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr),
                   SQLITE_OK);
         std::string bytes = testing::ReadBytes(path);
         std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2), 40000, 'Z');
         testing::WriteBytes(path, bytes);
         return nullptr;
       }},
      {"a file of a newer program", kResultsUnavailableMessage, false, true, 0, 300ms,
       [&](const std::string& path) -> Fault {
         makeDb(path, "PRAGMA user_version=2; CREATE TABLE shops(number INTEGER PRIMARY KEY);");
         return nullptr;
       }},
      {"a file the user may not write, of a newer program", kResultsUnavailableMessage, false, true,
       0, 300ms,
       [&](const std::string& path) -> Fault {
         makeDb(path, "PRAGMA user_version=7; CREATE TABLE t(x);");
         ::chmod(path.c_str(), 0444);
         return nullptr;
       }},
      {"a database another program holds locked", kResultsBusyMessage, false, true, 0, 300ms,
       [&](const std::string& path) -> Fault {
         makeDb(path, "CREATE TABLE t(x);");
         return held(path, "BEGIN EXCLUSIVE; INSERT INTO t VALUES(1);");
       }},
      {"the database's lock held by another copy", kResultsHeldByOtherMessage, false, false, 0,
       300ms,
       [](const std::string& path) -> Fault {
         const int fd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
         EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
         return Fault(nullptr, [fd](void*) { ::close(fd); });
       }},
      {"a read-only data folder", kResultsUnavailableMessage, false, false, 0, 300ms,
       [](const std::string& path) -> Fault {
         const fs::path folder = fs::path(path).parent_path();
         ::chmod(folder.c_str(), 0555);
         return Fault(nullptr, [folder](void*) { ::chmod(folder.c_str(), 0755); });
       }},
      {"a full disk", kResultsWriteFailedMessage, false, false, 4, 300ms,
       [](const std::string&) -> Fault { return nullptr; }},
      {"another program writing for a moment",
       {},
       true,
       false,
       0,
       5000ms,
       [&](const std::string& path) -> Fault {
         makeDb(path, "PRAGMA journal_mode=WAL; CREATE TABLE t(x);");
         auto other = held(path, "BEGIN IMMEDIATE; INSERT INTO t VALUES(1);");
         std::thread([other] {
           std::this_thread::sleep_for(150ms);
           other->Exec("COMMIT");
         }).detach();
         return other;
       }},
      {"a user's read-only sqlite3 session",
       {},
       true,
       false,
       0,
       300ms,
       [&](const std::string& path) -> Fault {
         makeDb(path, "PRAGMA journal_mode=WAL; CREATE TABLE t(x); INSERT INTO t VALUES(1);");
         auto other = std::make_shared<Other>(path, SQLITE_OPEN_READONLY);
         EXPECT_EQ(other->Exec("BEGIN; SELECT count(*) FROM t;"), SQLITE_OK);
         return other;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempFolder folder;
    fs::create_directories(folder.Path() / "data");
    const std::string path = c.plant ? folder.File("data/results.sqlite") : std::string();
    Fault fault = c.plant ? c.plant(path) : nullptr;
    const std::string before = c.plant ? testing::ReadBytes(path) : std::string();
    const std::string walBefore = c.plant ? testing::ReadBytes(path + "-wal") : std::string();
    const bool shmBefore = c.plant && fs::exists(path + "-shm");
    KeeperOptions options = Quick();
    options.db.maxPages = c.maxPages;
    options.db.busyTimeout = c.busy;
    Kept kept(path, options);
    const std::size_t loaded = kept.store.RowCount();
    kept.keeper->Found(1, Shop(1, std::string(4000, 'a')));
    kept.keeper->Found(2, Shop(2, std::string(4000, 'b')));
    const bool committed = kept.keeper->Commit(5s);
    kept.keeper->Found(3, Shop(3, std::string(4000, 'c')));
    (void)kept.keeper->Commit(5s);
    EXPECT_EQ(kept.store.Numbers(100000).back(), 3);
    EXPECT_EQ(kept.store.RowCount(), loaded + 3) << "the list goes on";
    EXPECT_EQ(committed, c.onDisk || !kept.keeper->OnDisk());
    const auto said = kept.said;
    ASSERT_EQ(said.size(), c.said.empty() ? 0u : 1u);
    EXPECT_TRUE(said.empty() || said[0].starts_with(c.said)) << said[0];
    kept.keeper.reset();
    // Rows are said kept once in the file or with no file to keep them in;
    // never while their write fails.
    const std::vector<std::int64_t> all = {1, 2, 3};
    EXPECT_EQ(kept.told, committed ? all : std::vector<std::int64_t>{});
    fault.reset();
    // Every connection is closed, the failed opens' too.
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      EXPECT_FALSE(fs::read_symlink(fd.path(), ec).string().starts_with(folder.Path().string()))
          << "left open: " << fs::read_symlink(fd.path(), ec);
    }
    if (c.plant && c.onDisk) {
      Other reader(path);
      EXPECT_EQ(reader.Text("PRAGMA integrity_check"), "ok");
      EXPECT_EQ(reader.Text("SELECT count(*) FROM shops"), std::to_string(loaded + 3));
    }
    std::string kept_bytes = c.plant ? testing::ReadBytes(path) : std::string();
    if (c.said == kResultsMovedAsideMessage) {
      const std::string aside =
          (folder.Path() / "data").string() + "/" +
          said[0].substr(c.said.size(), said[0].find('\xA3', c.said.size()) - c.said.size());
      kept_bytes = testing::ReadBytes(aside);
      EXPECT_TRUE(testing::ReadBytes(aside + "-wal") == walBefore) << "the -wal changed";
      EXPECT_TRUE(!shmBefore || fs::exists(aside + "-shm"));
    }
    if (c.untouched) {
      EXPECT_TRUE(kept_bytes == before) << "the planted file changed";
    }
  }
}

}  // namespace
}  // namespace dt
