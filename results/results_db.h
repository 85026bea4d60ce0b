// The results list's file: one SQLite database (WAL mode, PRAGMA user_version
// 1) with one row per shop number. Cells are kept as UTF-8 TEXT when their
// GBK bytes convert there and back exactly, so the names read in any SQLite
// tool, else as a BLOB of the GBK bytes; either way they come back byte for
// byte. Beside the cells: the row's place in the list, when the shop was first
// and last seen, and when an export last held it.
//
// Used by one thread at a time (the keeper's writer thread).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "results/shop_row.h"

struct sqlite3;
struct sqlite3_stmt;

namespace dt {

// One change to the kept list.
struct RowChange {
  enum Kind { Found, Restore, Remove, Clear, SetOrdinal, MarkExported };
  Kind kind = Found;
  ShopRow row;                        // Found (cells[0] unused), Restore (whole row)
  std::vector<std::int64_t> numbers;  // Remove, MarkExported; SetOrdinal: one
};

enum class DbOpen {
  Opened,
  MovedAside,   // the old file was unreadable: moved aside, a new one started
  HeldByOther,  // our own lock is held: another copy of the program uses it
  Busy,         // another program holds the database's lock
  Unavailable,  // cannot be opened or written (folder, permissions, disk, newer file)
};

enum class DbWrite { Kept, Busy, Full, Corrupt, Failed };

struct DbOptions {
  std::chrono::milliseconds busyTimeout{5000};  // a moment of SQLITE_BUSY is waited out
  int maxPages = 0;                             // tests: a full disk after so many pages
};

class ResultsDb {
 public:
  // Opens (or creates) the file at path, a UTF-8 path. Never overwrites or
  // deletes the user's file: an unreadable one is renamed (with its -wal and
  // -shm files) to "<name>-corrupt-<date>-<time>.sqlite" beside it.
  static std::unique_ptr<ResultsDb> Open(const std::string& path, DbOpen& outcome,
                                         std::string& movedTo, const DbOptions& options = {});
  ~ResultsDb();
  ResultsDb(const ResultsDb&) = delete;
  ResultsDb& operator=(const ResultsDb&) = delete;

  // Every row in list order, handed on in chunks of at most chunkRows.
  // Kept, or Corrupt / Failed when the file could not be read to its end.
  DbWrite Load(std::size_t chunkRows, const std::function<void(std::vector<ShopRow>&&)>& chunk);

  // The changes in one transaction, at the time now (seconds since the epoch):
  // all of them kept, or none.
  DbWrite Apply(const std::vector<RowChange>& changes, std::int64_t now);

  // Renames the file aside as Open does with an unreadable one; the object is
  // unusable afterwards. The new name, empty when nothing could be moved.
  std::string MoveAside();

  const std::string& Path() const { return path_; }

 private:
  ResultsDb(sqlite3* db, std::string path, int lockFd);
  DbWrite ApplyOne(const RowChange& change, std::int64_t now);

  sqlite3* db_;
  // The statement of a found shop, prepared once: most changes are found shops.
  sqlite3_stmt* found_ = nullptr;
  std::string path_;
  int lockFd_;
  std::int64_t nextPos_ = 1;
};

}  // namespace dt
