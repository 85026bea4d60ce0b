#include "results/results_keeper.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "collect/results_store.h"
#include "tests/support/temp_folder.h"

namespace dt {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

ShopCells Shop(std::int64_t number, std::string name) {
  ShopCells cells;
  cells[kColAccount] = "seller" + std::to_string(number);
  cells[kColShopName] = std::move(name);
  cells[kColAddress] = "http://shop" + std::to_string(number) + ".taobao.com/";
  cells[kColCreated] = "2011-08-20";
  cells[kColCredit] = "0";
  cells[kColItems] = "3";
  return cells;
}

// A keeper over a store, as the program wires them, with what it said.
struct Kept {
  explicit Kept(const std::string& path, KeeperOptions options = Quick())
      : keeper(std::make_unique<ResultsKeeper>(path, options)) {
    keeper->Start({[this](std::vector<ShopRow>&& rows) { store.Put(std::move(rows)); },
                   [this](std::string_view line) {
                     std::lock_guard<std::mutex> guard(mutex);
                     said.emplace_back(line);
                   }});
  }
  static KeeperOptions Quick() {
    KeeperOptions options;
    options.batch = 20ms;
    options.retryPause = 50ms;
    options.db.busyTimeout = 300ms;
    return options;
  }
  bool Loaded() {
    for (int i = 0; i < 500 && keeper->Loading(); ++i) std::this_thread::sleep_for(10ms);
    return !keeper->Loading();
  }
  std::vector<std::string> Said() {
    std::lock_guard<std::mutex> guard(mutex);
    return said;
  }
  ResultsStore store;
  std::mutex mutex;
  std::vector<std::string> said;
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

std::vector<fs::path> AsideFiles(const fs::path& folder) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().find("-corrupt-") != std::string::npos)
      found.push_back(entry.path());
  }
  return found;
}

TEST(ResultsKeeper, KeptRowsComeBackByteForByteInOrderOneRowPerShop) {
  testing::TempFolder folder;
  const std::string path = folder.File("results.sqlite");
  const std::string tea = "\xB2\xE8\xCE\xDD";                         // 茶屋: TEXT in the file
  const std::string broken = std::string("\x81\x20\xFF\0\t\r\n", 7);  // no GBK: a BLOB
  {
    Kept kept(path);
    ASSERT_TRUE(kept.Loaded());
    for (std::int64_t n = 1; n <= 5; ++n) kept.keeper->Found(n * 10, Shop(n * 10, tea));
    kept.keeper->Found(60, Shop(60, broken));
    ASSERT_TRUE(kept.keeper->Commit(5s));
    ASSERT_EQ(kept.store.RowCount(), 6u);
    kept.keeper->Found(20, Shop(20, "again"));  // found again: in place
    kept.store.SetCell(2, kColOrdinal, "\xCE\xD2");
    kept.keeper->SetOrdinal(30, "\xCE\xD2");
    kept.keeper->Remove(kept.store.RemoveRows(0, 1));  // 10 goes
    kept.store.MarkExported({40});
    kept.keeper->MarkExported({40});
    ASSERT_TRUE(kept.keeper->Commit(5s));
    EXPECT_TRUE(kept.Said().empty());
  }
  Other reader(path);
  EXPECT_EQ(reader.Text("SELECT typeof(name) FROM shops WHERE number=30"), "text");
  EXPECT_EQ(reader.Text("SELECT name FROM shops WHERE number=30"), "茶屋");
  EXPECT_EQ(reader.Text("SELECT typeof(name) FROM shops WHERE number=60"), "blob");
  EXPECT_EQ(reader.Text("PRAGMA user_version"), "1");
  EXPECT_EQ(reader.Text("PRAGMA journal_mode"), "wal");

  Kept again(path);
  ASSERT_TRUE(again.Loaded());
  const std::vector<std::int64_t> order{20, 30, 40, 50, 60};
  ASSERT_EQ(again.store.Numbers(10), order);
  EXPECT_EQ(again.store.Cell(0, kColShopName), "again");
  EXPECT_EQ(again.store.Cell(0, kColOrdinal), "1");
  EXPECT_EQ(again.store.Cell(1, kColOrdinal), "\xCE\xD2");
  EXPECT_EQ(again.store.Cell(2, kColOrdinal), "3");
  EXPECT_EQ(again.store.Cell(1, kColShopName), tea);
  EXPECT_EQ(again.store.Cell(4, kColShopName), broken);
  EXPECT_EQ(again.store.Cell(4, kColAddress), "http://shop60.taobao.com/");
  EXPECT_EQ(again.store.UnexportedRows(), (std::vector<std::size_t>{0, 1, 3, 4}));
  // A shop found again keeps its place, its ordinal text and its export mark.
  again.keeper->Found(30, Shop(30, "third"));
  again.keeper->Found(70, Shop(70, "new"));
  ASSERT_TRUE(again.keeper->Commit(5s));
  EXPECT_EQ(again.store.Numbers(10), (std::vector<std::int64_t>{20, 30, 40, 50, 60, 70}));
  EXPECT_EQ(again.store.Cell(1, kColOrdinal), "\xCE\xD2");
  EXPECT_EQ(again.store.Cell(1, kColShopName), "third");
  EXPECT_EQ(again.store.UnexportedCount(), 5u);
  again.keeper->Clear();
  ASSERT_TRUE(again.keeper->Commit(5s));
  EXPECT_EQ(reader.Text("SELECT count(*) FROM shops"), "0");
}

TEST(ResultsKeeper, ARowIsShownOnlyOnceItsBatchIsCommitted) {
  testing::TempFolder folder;
  const std::string path = folder.File("results.sqlite");
  KeeperOptions slow = Kept::Quick();
  slow.batch = 400ms;
  Kept kept(path, slow);
  ASSERT_TRUE(kept.Loaded());
  kept.keeper->Found(1, Shop(1, "a"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(kept.store.RowCount(), 0u) << "shown before its batch was committed";
  for (int i = 0; i < 100 && kept.store.RowCount() == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(kept.store.RowCount(), 1u);
  Other reader(path);
  EXPECT_EQ(reader.Text("SELECT count(*) FROM shops"), "1");
}

// A shop the user removed or cleared away while it waited for its batch is
// neither shown nor kept; a shop found after the clear is both.
TEST(ResultsKeeper, RowsClearedOrRemovedBeforeTheirCommitStayAway) {
  testing::TempFolder folder;
  const std::string path = folder.File("results.sqlite");
  KeeperOptions slow = Kept::Quick();
  slow.batch = 300ms;
  Kept kept(path, slow);
  ASSERT_TRUE(kept.Loaded());
  kept.keeper->Found(1, Shop(1, "a"));
  kept.keeper->Found(2, Shop(2, "b"));
  kept.keeper->Clear();
  kept.keeper->Found(3, Shop(3, "c"));
  kept.keeper->Found(4, Shop(4, "d"));
  kept.keeper->Remove({4});
  ASSERT_TRUE(kept.keeper->Commit(5s));
  EXPECT_EQ(kept.store.Numbers(10), (std::vector<std::int64_t>{3}));
  Other reader(path);
  EXPECT_EQ(reader.Text("SELECT group_concat(number) FROM shops"), "3");
}

// Each bad condition planted before the start: the list goes on in memory,
// the user's file is never overwritten or deleted, and the program says so
// once (or not at all when nothing is wrong for the user).
TEST(ResultsKeeper, BadConditionsNeverStopTheListAndSayWhatHappenedOnce) {
  if (testing::RerunAsOrdinaryUser()) return;
  struct Case {
    const char* what;
    std::function<std::shared_ptr<void>(const std::string& path)> plant;
    std::string_view said;  // the line said once; empty: none
    bool onDisk;            // the rows reach the file
    bool untouched;         // the planted file keeps its bytes
    int maxPages = 0;
  };
  const auto makeDb = [](const std::string& path, const std::string& sql) {
    Other other(path);
    EXPECT_EQ(other.Exec(sql), SQLITE_OK);
  };
  const auto rows = [](int count) {
    std::string sql = "CREATE TABLE t(x);";
    for (int i = 0; i < count; ++i) sql += "INSERT INTO t VALUES(randomblob(3000));";
    return sql;
  };
  const std::vector<Case> cases = {
      {"no data folder", nullptr, {}, false, false},
      {"a file that is not a database",
       [](const std::string& path) {
         testing::WriteBytes(path, std::string(5000, 'x'));
         return nullptr;
       },
       kResultsMovedAsideMessage, true, false},
      {"a database of a newer program",
       [&](const std::string& path) {
         makeDb(path, "PRAGMA user_version=7; CREATE TABLE t(x);");
         return nullptr;
       },
       kResultsUnavailableMessage, false, true},
      {"a database another program holds locked",
       [&](const std::string& path) -> std::shared_ptr<void> {
         makeDb(path, rows(1));
         auto other = std::make_shared<Other>(path);
         EXPECT_EQ(other->Exec("BEGIN EXCLUSIVE; INSERT INTO t VALUES(1);"), SQLITE_OK);
         return other;
       },
       kResultsBusyMessage, false, true},
      {"the database's lock held by another copy",
       [](const std::string& path) -> std::shared_ptr<void> {
         const int fd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
         EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
         return std::shared_ptr<void>(nullptr, [fd](void*) { ::close(fd); });
       },
       kResultsHeldByOtherMessage, false, false},
      {"a read-only data folder",
       [](const std::string& path) -> std::shared_ptr<void> {
         const fs::path folder = fs::path(path).parent_path();
         ::chmod(folder.c_str(), 0555);
         return std::shared_ptr<void>(nullptr, [folder](void*) { ::chmod(folder.c_str(), 0755); });
       },
       kResultsUnavailableMessage, false, false},
      {"a database file the user may not write",
       [&](const std::string& path) {
         makeDb(path, "CREATE TABLE t(x);");
         ::chmod(path.c_str(), 0444);
         return nullptr;
       },
       kResultsUnavailableMessage, false, true},
      {"a full disk", [](const std::string&) { return nullptr; }, kResultsWriteFailedMessage, false,
       false, 4},
      {"another program writing for a moment",
       [&](const std::string& path) -> std::shared_ptr<void> {
         makeDb(path, "PRAGMA journal_mode=WAL; CREATE TABLE t(x);");
         auto other = std::make_shared<Other>(path);
         EXPECT_EQ(other->Exec("BEGIN IMMEDIATE; INSERT INTO t VALUES(1);"), SQLITE_OK);
         std::thread([other] {
           std::this_thread::sleep_for(150ms);
           other->Exec("COMMIT");
         }).detach();
         return other;
       },
       {},
       true,
       false},
      {"a user's read-only sqlite3 session",
       [&](const std::string& path) -> std::shared_ptr<void> {
         makeDb(path, "PRAGMA journal_mode=WAL; CREATE TABLE t(x); INSERT INTO t VALUES(1);");
         auto other = std::make_shared<Other>(path, SQLITE_OPEN_READONLY);
         EXPECT_EQ(other->Exec("BEGIN; SELECT count(*) FROM t;"), SQLITE_OK);
         return other;
       },
       {},
       true,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempFolder folder;
    const std::string path = c.plant ? folder.File("data/results.sqlite") : std::string();
    if (c.plant) fs::create_directories(folder.Path() / "data");
    std::shared_ptr<void> fault = c.plant ? c.plant(path) : nullptr;
    const std::string before = c.plant ? testing::ReadBytes(path) : std::string();
    KeeperOptions options = Kept::Quick();
    if (c.what == std::string_view("another program writing for a moment"))
      options.db.busyTimeout = 5000ms;
    options.db.maxPages = c.maxPages;
    Kept kept(path, options);
    ASSERT_TRUE(kept.Loaded());
    kept.keeper->Found(1, Shop(1, std::string(4000, 'a')));
    kept.keeper->Found(2, Shop(2, std::string(4000, 'b')));
    const bool committed = kept.keeper->Commit(5s);
    kept.keeper->Found(3, Shop(3, std::string(4000, 'c')));
    (void)kept.keeper->Commit(5s);
    EXPECT_EQ(kept.store.Numbers(10), (std::vector<std::int64_t>{1, 2, 3})) << "the list goes on";
    EXPECT_EQ(committed, c.onDisk || !kept.keeper->OnDisk());
    int times = 0;
    for (const std::string& line : kept.Said()) {
      if (!c.said.empty() && line.starts_with(c.said)) ++times;
    }
    EXPECT_EQ(times, c.said.empty() ? 0 : 1);
    EXPECT_EQ(kept.Said().size(), c.said.empty() ? 0u : 1u);
    kept.keeper.reset();
    fault.reset();
    if (c.untouched) {
      EXPECT_EQ(testing::ReadBytes(path), before);
    }
    if (c.plant && c.onDisk) {
      Other reader(path);
      EXPECT_EQ(reader.Text("SELECT count(*) FROM shops"), "3");
    }
    if (c.said == kResultsMovedAsideMessage) {
      const auto aside = AsideFiles(folder.Path() / "data");
      ASSERT_EQ(aside.size(), 1u);
      EXPECT_EQ(testing::ReadBytes(aside[0].string()), before);
    }
  }
}

// A file damaged inside is found out while the list loads: the rows read so
// far stay in the list and go into a new file, the old one is moved aside
// whole with its -wal file.
TEST(ResultsKeeper, ACorruptFileIsMovedAsideAndItsReadableRowsKept) {
  testing::TempFolder folder;
  const std::string path = folder.File("results.sqlite");
  {
    Kept kept(path);
    ASSERT_TRUE(kept.Loaded());
    for (std::int64_t n = 1; n <= 3000; ++n) kept.keeper->Found(n, Shop(n, std::string(200, 'n')));
    ASSERT_TRUE(kept.keeper->Commit(10s));
  }
  std::string bytes = testing::ReadBytes(path);
  ASSERT_GT(bytes.size(), 200000u);
  for (std::size_t at = bytes.size() / 2; at < bytes.size() / 2 + 40000; ++at) bytes[at] = '\x5A';
  testing::WriteBytes(path, bytes);
  testing::WriteBytes(path + "-wal", std::string(100, 'w'));
  Kept kept(path);
  ASSERT_TRUE(kept.Loaded());
  const auto said = kept.Said();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_TRUE(said[0].starts_with(kResultsMovedAsideMessage)) << said[0];
  EXPECT_TRUE(kept.keeper->OnDisk());
  const std::size_t shown = kept.store.RowCount();
  EXPECT_GT(shown, 0u);
  EXPECT_LT(shown, 3000u);
  const auto aside = AsideFiles(folder.Path());
  std::set<std::string> ends;
  for (const fs::path& file : aside) ends.insert(file.string().substr(file.string().size() - 4));
  EXPECT_EQ(ends, (std::set<std::string>{"lite", "-wal", "-shm"}));
  kept.keeper.reset();
  Other reader(path);
  EXPECT_EQ(reader.Text("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(reader.Text("SELECT count(*) FROM shops"), std::to_string(shown));
}

// Killed at random moments while it writes, the file always passes SQLite's
// integrity check and holds every row a commit had confirmed.
TEST(ResultsKeeper, TheFileStaysWholeAcrossRandomKills) {
  testing::TempFolder folder;
  const std::string path = folder.File("results.sqlite");
  const std::string confirmed = folder.File("confirmed");
  std::mt19937 random(7);
  std::int64_t next = 1;
  for (int kill = 0; kill < 12; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    const std::int64_t from = next;
    const pid_t child = ::fork();
    if (child == 0) {
      Kept kept(path);
      (void)kept.Loaded();
      for (std::int64_t n = from;; ++n) {
        kept.keeper->Found(n, Shop(n, std::string(static_cast<std::size_t>(n % 900), 'k')));
        if (n % 50 == 0 && kept.keeper->Commit(5s)) {
          testing::WriteBytes(confirmed, std::to_string(n));
        }
      }
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(100, 600)(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    Other reader(path);
    ASSERT_EQ(reader.Text("PRAGMA integrity_check"), "ok");
    const std::string last = testing::ReadBytes(confirmed);
    if (!last.empty()) {
      EXPECT_EQ(reader.Text("SELECT count(*) FROM shops WHERE number=" + last), "1");
    }
    next = std::stoll(reader.Text("SELECT coalesce(max(number), 0) FROM shops")) + 1;
  }
  EXPECT_GT(next, 100);
}

}  // namespace
}  // namespace dt
