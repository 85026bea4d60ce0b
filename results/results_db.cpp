#include "results/results_db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>

#include "text/failure_log.h"
#include "text/gbk_codec.h"

namespace dt {
namespace {

namespace fs = std::filesystem;

constexpr int kSchemaVersion = 1;

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }
  int rc() const { return rc_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_;
};

bool Ascii(std::string_view bytes) {
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// The cell as UTF-8 TEXT when it comes back exactly, else as the GBK bytes.
int BindCell(sqlite3_stmt* stmt, int index, const std::string& gbk) {
  if (Ascii(gbk)) {
    return sqlite3_bind_text(stmt, index, gbk.data(), static_cast<int>(gbk.size()),
                             SQLITE_TRANSIENT);
  }
  const std::string utf8 = GbkToUtf8(gbk);
  if (Utf8ToGbk(utf8) == gbk) {
    return sqlite3_bind_text(stmt, index, utf8.data(), static_cast<int>(utf8.size()),
                             SQLITE_TRANSIENT);
  }
  return sqlite3_bind_blob(stmt, index, gbk.data(), static_cast<int>(gbk.size()), SQLITE_TRANSIENT);
}

std::string ColumnCell(sqlite3_stmt* stmt, int index) {
  const int type = sqlite3_column_type(stmt, index);
  if (type == SQLITE_NULL) return {};
  const void* bytes =
      type == SQLITE_BLOB ? sqlite3_column_blob(stmt, index) : sqlite3_column_text(stmt, index);
  const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, index));
  if (bytes == nullptr) return {};
  std::string_view view(static_cast<const char*>(bytes), size);
  if (type == SQLITE_BLOB || Ascii(view)) return std::string(view);
  return Utf8ToGbk(view);
}

DbWrite WriteOutcome(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return DbWrite::Kept;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return DbWrite::Busy;
    case SQLITE_FULL:
      return DbWrite::Full;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return DbWrite::Corrupt;
    default:
      return DbWrite::Failed;
  }
}

int Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// "results-corrupt-20261210-153000.sqlite" for "results.sqlite"; a name
// already taken gets "-2", "-3", ...
std::string AsideName(const fs::path& file) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string stem = file.stem().string() + "-corrupt-" + stamp;
  for (int n = 1;; ++n) {
    const std::string name =
        stem + (n > 1 ? "-" + std::to_string(n) : "") + file.extension().string();
    std::error_code ec;
    if (!fs::exists(file.parent_path() / name, ec) &&
        !fs::exists(file.parent_path() / (name + "-wal"), ec))
      return name;
  }
}

std::string MoveFileAside(const std::string& path) {
  const fs::path file(path);
  const std::string name = AsideName(file);
  const fs::path target = file.parent_path() / name;
  if (::rename(path.c_str(), target.c_str()) != 0) return {};
  for (const char* part : {"-wal", "-shm"}) {
    // A missing part is the usual case; a part that stays behind would be
    // taken for the new file's, so it goes with the file or is reported.
    if (::rename((path + part).c_str(), (target.string() + part).c_str()) != 0 && errno != ENOENT) {
      ReportFailure(FailureArea::Files, "the results database's " + std::string(part) +
                                            " file could not be moved aside");
    }
  }
  return name;
}

// The outcome of a failed step while opening.
DbOpen OpenFailure(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return DbOpen::Busy;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return DbOpen::MovedAside;
    default:
      return DbOpen::Unavailable;
  }
}

// Opens and checks the file; the connection, or nullptr with the failing code.
sqlite3* OpenChecked(const std::string& path, const DbOptions& options, int& rc,
                     std::int64_t& nextPos) {
  sqlite3* db = nullptr;
  rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  // A failure may leave a statement of this function alive: the connection
  // then closes when its last statement is finalized, never later. A close
  // would copy the -wal file's pages into a file found damaged before it is
  // moved aside, so it never checkpoints; the next connection does.
  const auto fail = [&](int code) {
    rc = code;
    (void)sqlite3_close_v2(db);  // SQLITE_OK whatever is still alive
    return nullptr;
  };
  if (rc != SQLITE_OK) return fail(rc);
  if (const int code = sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
      code != SQLITE_OK)
    return fail(code);
  sqlite3_extended_result_codes(db, 1);
  // A file the user may not write opens read-only without a word.
  if (sqlite3_db_readonly(db, "main") == 1) return fail(SQLITE_READONLY);
  sqlite3_busy_timeout(db, static_cast<int>(options.busyTimeout.count()));
  if (options.maxPages > 0) {
    const std::string pragma = "PRAGMA max_page_count=" + std::to_string(options.maxPages);
    if (const int code = Exec(db, pragma.c_str()); code != SQLITE_OK) return fail(code);
  }
  int version = 0;
  {
    Statement read(db, "PRAGMA user_version");
    if (read.rc() != SQLITE_OK) return fail(read.rc());
    const int step = sqlite3_step(read.get());
    if (step != SQLITE_ROW) return fail(step);
    version = sqlite3_column_int(read.get(), 0);
    // A newer program's file is left as it is.
    if (version > kSchemaVersion) return fail(SQLITE_CANTOPEN);
  }
  {
    Statement mode(db, "PRAGMA journal_mode=WAL");
    if (mode.rc() != SQLITE_OK) return fail(mode.rc());
    const int step = sqlite3_step(mode.get());
    if (step != SQLITE_ROW) return fail(step);
    // SQLite answers with the mode it kept, which is not WAL where the
    // folder cannot hold the shared-memory file or another mode is forced.
    const unsigned char* kept = sqlite3_column_text(mode.get(), 0);
    if (kept == nullptr || std::string_view(reinterpret_cast<const char*>(kept)) != "wal")
      return fail(SQLITE_CANTOPEN);
  }
  if (const int code = Exec(db, "PRAGMA synchronous=NORMAL"); code != SQLITE_OK) return fail(code);
  const char* schema =
      "BEGIN IMMEDIATE;"
      "CREATE TABLE IF NOT EXISTS shops(number INTEGER PRIMARY KEY, pos INTEGER NOT NULL,"
      " ordinal, account, state, name, address, created, credit, items,"
      " first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, exported INTEGER);"
      "CREATE INDEX IF NOT EXISTS shops_pos ON shops(pos);"
      "PRAGMA user_version=1;"
      "COMMIT;";
  // Opening a kept file writes nothing: the schema is made once.
  if (const int code = version == kSchemaVersion ? SQLITE_OK : Exec(db, schema);
      code != SQLITE_OK) {
    (void)Exec(db, "ROLLBACK");  // nothing to take back when BEGIN itself failed
    return fail(code);
  }
  Statement last(db, "SELECT coalesce(max(pos), 0) FROM shops");
  if (last.rc() != SQLITE_OK) return fail(last.rc());
  const int step = sqlite3_step(last.get());
  if (step != SQLITE_ROW) return fail(step);
  nextPos = sqlite3_column_int64(last.get(), 0) + 1;
  return db;
}

}  // namespace

ResultsDb::ResultsDb(sqlite3* db, std::string path, int lockFd)
    : db_(db), path_(std::move(path)), lockFd_(lockFd) {}

ResultsDb::~ResultsDb() {
  sqlite3_finalize(found_);
  // A file in use closes as SQLite closes it: its -wal copied in and gone.
  if (db_ != nullptr) (void)sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
  sqlite3_close(db_);
  if (lockFd_ >= 0) ::close(lockFd_);
}

std::unique_ptr<ResultsDb> ResultsDb::Open(const std::string& path, DbOpen& outcome,
                                           std::string& movedTo, const DbOptions& options) {
  movedTo.clear();
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  // The program's one-copy lock may live in another folder than this file
  // (another runtime folder): the file has a lock of its own. It is not
  // SQLite's lock, so a user's sqlite3 session never holds it.
  const int lockFd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0) {
    outcome = DbOpen::Unavailable;
    return nullptr;
  }
  if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    ::close(lockFd);
    outcome = errno == EWOULDBLOCK ? DbOpen::HeldByOther : DbOpen::Unavailable;
    return nullptr;
  }
  int rc = SQLITE_OK;
  std::int64_t nextPos = 1;
  sqlite3* db = OpenChecked(path, options, rc, nextPos);
  if (db == nullptr && OpenFailure(rc) == DbOpen::MovedAside) {
    movedTo = MoveFileAside(path);
    if (!movedTo.empty()) db = OpenChecked(path, options, rc, nextPos);
    if (movedTo.empty()) rc = SQLITE_CANTOPEN;
  }
  if (db == nullptr) {
    ::close(lockFd);
    outcome = OpenFailure(rc) == DbOpen::MovedAside ? DbOpen::Unavailable : OpenFailure(rc);
    return nullptr;
  }
  outcome = movedTo.empty() ? DbOpen::Opened : DbOpen::MovedAside;
  std::unique_ptr<ResultsDb> opened(new ResultsDb(db, path, lockFd));
  opened->nextPos_ = nextPos;
  return opened;
}

std::string ResultsDb::MoveAside() {
  // Closing would copy the -wal file's pages into the damaged file: the two
  // go aside as they are.
  (void)sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3_finalize(found_);
  found_ = nullptr;
  sqlite3_close(db_);
  db_ = nullptr;
  return MoveFileAside(path_);
}

DbWrite ResultsDb::Load(std::size_t chunkRows,
                        const std::function<void(std::vector<ShopRow>&&)>& chunk) {
  Statement select(db_,
                   "SELECT number, ordinal, account, state, name, address, created, credit, "
                   "items, exported IS NOT NULL FROM shops ORDER BY pos");
  if (select.rc() != SQLITE_OK) return WriteOutcome(select.rc());
  std::vector<ShopRow> rows;
  rows.reserve(chunkRows);
  int step;
  while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
    ShopRow& row = rows.emplace_back();
    row.number = sqlite3_column_int64(select.get(), 0);
    for (int c = 0; c < kShopCells; ++c) {
      row.cells[static_cast<std::size_t>(c)] = ColumnCell(select.get(), c + 1);
    }
    row.exported = sqlite3_column_int(select.get(), kShopCells + 1) != 0;
    if (rows.size() >= chunkRows) {
      chunk(std::move(rows));
      rows.clear();
      rows.reserve(chunkRows);
    }
  }
  if (!rows.empty()) chunk(std::move(rows));
  return step == SQLITE_DONE ? DbWrite::Kept : WriteOutcome(step);
}

DbWrite ResultsDb::Apply(const std::vector<RowChange>& changes, std::int64_t now) {
  if (db_ == nullptr) return DbWrite::Failed;
  if (const int rc = Exec(db_, "BEGIN IMMEDIATE"); rc != SQLITE_OK) return WriteOutcome(rc);
  const std::int64_t posBefore = nextPos_;
  for (const RowChange& change : changes) {
    if (const DbWrite written = ApplyOne(change, now); written != DbWrite::Kept) {
      (void)Exec(db_, "ROLLBACK");  // a failed ROLLBACK leaves SQLite to roll back itself
      nextPos_ = posBefore;
      return written;
    }
  }
  if (const int rc = Exec(db_, "COMMIT"); rc != SQLITE_OK) {
    (void)Exec(db_, "ROLLBACK");
    nextPos_ = posBefore;
    return WriteOutcome(rc);
  }
  return DbWrite::Kept;
}

DbWrite ResultsDb::ApplyOne(const RowChange& change, std::int64_t now) {
  const auto run = [](sqlite3_stmt* stmt) { return WriteOutcome(sqlite3_step(stmt)); };
  switch (change.kind) {
    case RowChange::Found:
    case RowChange::Restore: {
      // A shop found again keeps its place, its ordinal text and its export
      // mark; its cells and last-seen time change.
      const bool restore = change.kind == RowChange::Restore;
      std::unique_ptr<Statement> once;
      sqlite3_stmt* s = found_;
      if (restore) {
        once = std::make_unique<Statement>(
            db_,
            "INSERT OR REPLACE INTO shops VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?11,"
            "CASE WHEN ?12 THEN ?11 END)");
        if (once->rc() != SQLITE_OK) return WriteOutcome(once->rc());
        s = once->get();
      } else if (s == nullptr) {
        const int rc = sqlite3_prepare_v3(
            db_,
            "INSERT INTO shops VALUES(?1,?2,NULL,?4,?5,?6,?7,?8,?9,?10,?11,?11,NULL) "
            "ON CONFLICT(number) DO UPDATE SET account=?4, state=?5, name=?6, address=?7, "
            "created=?8, credit=?9, items=?10, last_seen=?11",
            -1, SQLITE_PREPARE_PERSISTENT, &found_, nullptr);
        if (rc != SQLITE_OK) return WriteOutcome(rc);
        s = found_;
      }
      sqlite3_bind_int64(s, 1, change.row.number);
      sqlite3_bind_int64(s, 2, nextPos_++);
      for (int c = restore ? 0 : 1; c < kShopCells; ++c) {
        if (BindCell(s, c + 3, change.row.cells[static_cast<std::size_t>(c)]) != SQLITE_OK)
          return DbWrite::Failed;
      }
      sqlite3_bind_int64(s, 11, now);
      if (restore) sqlite3_bind_int(s, 12, change.row.exported ? 1 : 0);
      const DbWrite written = run(s);
      sqlite3_reset(s);
      return written;
    }
    case RowChange::Remove:
    case RowChange::MarkExported: {
      Statement each(db_, change.kind == RowChange::Remove
                              ? "DELETE FROM shops WHERE number=?1"
                              : "UPDATE shops SET exported=?2 WHERE number=?1");
      if (each.rc() != SQLITE_OK) return WriteOutcome(each.rc());
      for (const std::int64_t number : change.numbers) {
        sqlite3_bind_int64(each.get(), 1, number);
        sqlite3_bind_int64(each.get(), 2, now);
        if (const DbWrite written = run(each.get()); written != DbWrite::Kept) return written;
        sqlite3_reset(each.get());
      }
      return DbWrite::Kept;
    }
    case RowChange::Clear:
      return WriteOutcome(Exec(db_, "DELETE FROM shops"));
    case RowChange::SetOrdinal: {
      if (change.numbers.empty()) return DbWrite::Kept;
      Statement update(db_, "UPDATE shops SET ordinal=?2 WHERE number=?1");
      if (update.rc() != SQLITE_OK) return WriteOutcome(update.rc());
      sqlite3_bind_int64(update.get(), 1, change.numbers.front());
      if (BindCell(update.get(), 2, change.row.cells[0]) != SQLITE_OK) return DbWrite::Failed;
      return run(update.get());
    }
  }
  return DbWrite::Failed;
}

}  // namespace dt
