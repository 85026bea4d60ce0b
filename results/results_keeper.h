// The results list kept on disk: the writer thread between the list in memory
// and the database file. Found shops and the user's changes queue here from
// any thread (a short lock, never a disk wait); the writer thread commits
// them in batches of a fraction of a second and only then shows the found
// rows to the list, so a row the list shows is on disk. At start the thread
// opens the file and loads the kept rows into the list in chunks before it
// writes anything, so the rows of a run started meanwhile come after them.
//
// Whatever goes wrong with the file, the list goes on in memory: a file that
// cannot be opened is said once and the rows are shown without being kept; a
// write that fails is said once and tried again, its rows shown meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "results/results_db.h"
#include "results/shop_row.h"

namespace dt {

// The status lines the keeper may give (GBK).
extern const std::string_view kResultsHeldByOtherMessage;
extern const std::string_view kResultsBusyMessage;
extern const std::string_view kResultsUnavailableMessage;  // + the file's path
extern const std::string_view kResultsMovedAsideMessage;  // + the new name + kResultsNewFileMessage
extern const std::string_view kResultsNewFileMessage;
extern const std::string_view kResultsWriteFailedMessage;
extern const std::string_view kResultsWrittenAgainMessage;

struct KeeperHooks {
  // Rows loaded or committed, in list order, on the writer thread: the list
  // appends new numbers and updates known ones in place.
  std::function<void(std::vector<ShopRow>&&)> show;
  // A status line (GBK), on the writer thread.
  std::function<void(std::string_view)> say;
};

struct KeeperOptions {
  std::chrono::milliseconds batch{200};        // how long found rows gather before a commit
  std::chrono::milliseconds retryPause{1000};  // after a failed write
  std::size_t loadChunk = 5000;
  DbOptions db;
};

// The changes a write holds, at most one per shop and one clear: found
// cells, a removal, the ordinal's text, an export mark, each the latest.
class PendingChanges {
 public:
  void Add(RowChange&& change);
  // The changes to write, in an order that gives the same file as writing
  // every change added, one after the other.
  std::vector<RowChange> Batch() const;
  void Clear();
  bool Empty() const { return shops_.empty() && !clear_; }
  std::size_t Shops() const { return shops_.size(); }
  std::uint64_t Changes() const { return changes_; }  // added since the last Clear

 private:
  struct Shop {
    std::uint64_t order = 0;  // first added, or last removed
    bool remove = false;
    std::unique_ptr<ShopRow> found;  // most waiting shops are marks or removals
    std::optional<std::string> ordinal;
    bool exported = false;
  };
  std::unordered_map<std::int64_t, Shop> shops_;
  bool clear_ = false;
  std::uint64_t nextOrder_ = 0;
  std::uint64_t changes_ = 0;
};

class ResultsKeeper : public ShopRowSink {
 public:
  // path: the database file (UTF-8); empty keeps the list in memory only.
  explicit ResultsKeeper(std::string path, KeeperOptions options = {});
  ~ResultsKeeper() override;  // commits what is pending, then stops the thread

  // Starts the writer thread: open, load, then the writing.
  void Start(KeeperHooks hooks);

  void Found(std::int64_t number, ShopCells cells) override;
  // Told on the writer thread, under the keeper's lock, after each commit
  // (or batch kept in memory only when there is no file).
  void OnKept(KeptHandler handler) override;
  // The user's changes. Removals and clears come here before they leave the
  // list, so that a commit shown meanwhile cannot bring the rows back.
  void Remove(std::vector<std::int64_t> numbers);
  void Clear();
  void SetOrdinal(std::int64_t number, std::string text);
  void MarkExported(std::vector<std::int64_t> numbers);

  // Commits everything queued before the call and waits for it, at most
  // limit; true when all of it is on disk (or there is no disk to keep it on).
  bool Commit(std::chrono::milliseconds limit);

  // While the kept rows are being read at start; the number shown so far.
  bool Loading() const { return loading_.load(); }
  std::size_t LoadedRows() const { return loaded_.load(); }
  // The rows go to the file (false: memory only for this start).
  bool OnDisk() const { return onDisk_.load(); }
  // The last commit failed and its changes wait for the next try.
  bool Behind() const { return behind_.load(); }
  // The shops whose changes wait for the next try after a failed write.
  std::size_t Waiting() const;

 private:
  void Work();
  void OpenAndLoad();
  // One batch: written (or shown without a disk), false when it must wait.
  bool WriteBatch(const std::vector<RowChange>& batch);
  void Say(std::string_view message);
  void Enqueue(RowChange change);

  const std::string path_;
  const KeeperOptions options_;
  KeeperHooks hooks_;
  std::unique_ptr<ResultsDb> db_;
  std::thread thread_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable committed_;
  std::vector<RowChange> queue_;
  std::uint64_t queued_ = 0;  // changes ever queued
  std::uint64_t done_ = 0;    // changes ever written or given up on
  std::uint64_t taken_ = 0;   // changes ever taken from the queue to write
  std::uint64_t tried_ = 0;   // of those, the ones a finished write held
  bool hurry_ = false;        // a commit is waited for
  // Removals and clears queued since the writer took its batch.
  std::unordered_set<std::int64_t> removedLately_;
  bool clearedLately_ = false;
  bool stop_ = false;
  KeptHandler kept_;
  std::size_t waiting_ = 0;

  std::atomic<bool> loading_{true};
  std::atomic<std::size_t> loaded_{0};
  std::atomic<bool> onDisk_{false};
  std::atomic<bool> behind_{false};
};

}  // namespace dt
