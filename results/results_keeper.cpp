#include "results/results_keeper.h"

#include <algorithm>
#include <ctime>
#include <unordered_set>
#include <utility>

#include "text/failure_log.h"
#include "text/gbk_codec.h"

namespace dt {

const std::string_view kResultsHeldByOtherMessage =
    "\xBD\xE1\xB9\xFB\xCA\xFD\xBE\xDD\xBF\xE2\xD5\xFD\xB1\xBB\xC1\xED\xD2\xBB\xB8\xF6 Dovetrail "
    "\xCA\xB9\xD3\xC3\xA3\xAC\xB1\xBE\xB4\xCE\xBD\xE1\xB9\xFB\xC1\xD0\xB1\xED\xD6\xBB\xB1\xA3\xB4"
    "\xE6\xD4\xDA\xC4\xDA\xB4\xE6\xD6\xD0";  // 结果数据库正被另一个 Dovetrail
                                             // 使用，本次结果列表只保存在内存中
const std::string_view kResultsBusyMessage =
    "\xBD\xE1\xB9\xFB\xCA\xFD\xBE\xDD\xBF\xE2\xB1\xBB\xC1\xED\xD2\xBB\xB8\xF6\xB3\xCC\xD0\xF2\xCB"
    "\xF8\xB6\xA8\xA3\xAC\xB1\xBE\xB4\xCE\xBD\xE1\xB9\xFB\xC1\xD0\xB1\xED\xD6\xBB\xB1\xA3\xB4\xE6"
    "\xD4\xDA\xC4\xDA\xB4\xE6\xD6\xD0";  // 结果数据库被另一个程序锁定，本次结果列表只保存在内存中
const std::string_view kResultsUnavailableMessage =
    "\xBD\xE1\xB9\xFB\xCA\xFD\xBE\xDD\xBF\xE2\xCE\xDE\xB7\xA8\xB4\xF2\xBF\xAA\xA3\xAC\xB1\xBE\xB4"
    "\xCE\xBD\xE1\xB9\xFB\xC1\xD0\xB1\xED\xD6\xBB\xB1\xA3\xB4\xE6\xD4\xDA\xC4\xDA\xB4\xE6\xD6\xD0"
    "\xA3\xBA";  // 结果数据库无法打开，本次结果列表只保存在内存中：
const std::string_view kResultsMovedAsideMessage =
    "\xBD\xE1\xB9\xFB\xCA\xFD\xBE\xDD\xBF\xE2\xD2\xD1\xCB\xF0\xBB\xB5\xA3\xAC\xD2\xD1\xB8\xC4\xC3"
    "\xFB\xCE\xAA ";  // 结果数据库已损坏，已改名为
const std::string_view kResultsNewFileMessage =
    "\xA3\xAC\xB2\xA2\xD0\xC2\xBD\xA8\xC1\xCB\xD2\xBB\xB8\xF6";  // ，并新建了一个
const std::string_view kResultsWriteFailedMessage =
    "\xBD\xE1\xB9\xFB\xCE\xB4\xC4\xDC\xD0\xB4\xC8\xEB\xCA\xFD\xBE\xDD\xBF\xE2\xA3\xAC\xC9\xD4\xBA"
    "\xF3\xD6\xD8\xCA\xD4";  // 结果未能写入数据库，稍后重试
const std::string_view kResultsWrittenAgainMessage =
    "\xBD\xE1\xB9\xFB\xD2\xD1\xD6\xD8\xD0\xC2\xD0\xB4\xC8\xEB\xCA\xFD\xBE\xDD\xBF\xE2";  // 结果已重新写入数据库

namespace {

// The found shops of changes[from...] to show, in order. A shop the user
// removed (or cleared) after it was queued is not shown: the list had lost it
// before it could show it, and the file loses it in the same transaction.
std::vector<ShopRow> FoundRows(const std::vector<RowChange>& changes, std::size_t from) {
  std::vector<ShopRow> rows;
  std::unordered_set<std::int64_t> removedLater;
  bool clearedLater = false;
  for (std::size_t i = changes.size(); i-- > from;) {
    const RowChange& change = changes[i];
    if (change.kind == RowChange::Clear) clearedLater = true;
    if (change.kind == RowChange::Remove) {
      removedLater.insert(change.numbers.begin(), change.numbers.end());
    }
    if (change.kind == RowChange::Found && !clearedLater &&
        !removedLater.contains(change.row.number))
      rows.push_back(change.row);
  }
  std::reverse(rows.begin(), rows.end());
  return rows;
}

}  // namespace

void PendingChanges::Add(RowChange&& change) {
  ++changes_;
  const auto shop = [this](std::int64_t number) -> Shop& {
    auto [at, added] = shops_.try_emplace(number);
    if (added) at->second.order = nextOrder_++;
    return at->second;
  };
  switch (change.kind) {
    case RowChange::Found:
    case RowChange::Restore: {
      // Found again before it was written: the newer cells, the first place.
      shop(change.row.number).found = std::make_unique<ShopRow>(std::move(change.row));
      break;
    }
    case RowChange::Remove:
      for (const std::int64_t number : change.numbers) {
        Shop& one = shop(number);
        one = Shop{};
        one.remove = true;
        one.order = nextOrder_++;  // found again later: at the list's end
      }
      break;
    case RowChange::Clear:
      shops_.clear();
      clear_ = true;
      break;
    case RowChange::SetOrdinal:
      if (!change.numbers.empty()) shop(change.numbers.front()).ordinal = change.row.cells[0];
      break;
    case RowChange::MarkExported:
      for (const std::int64_t number : change.numbers) shop(number).exported = true;
      break;
  }
}

std::vector<RowChange> PendingChanges::Batch() const {
  std::vector<const std::pair<const std::int64_t, Shop>*> order;
  order.reserve(shops_.size());
  for (const auto& entry : shops_) order.push_back(&entry);
  std::sort(order.begin(), order.end(),
            [](const auto* a, const auto* b) { return a->second.order < b->second.order; });
  std::vector<RowChange> batch;
  if (clear_) batch.push_back({RowChange::Clear, {}, {}});
  // Removals first, marks last: a shop removed and found again is new, and a
  // mark holds the rows found in the same batch.
  RowChange removals{RowChange::Remove, {}, {}};
  RowChange marks{RowChange::MarkExported, {}, {}};
  for (const auto* entry : order) {
    if (entry->second.remove) removals.numbers.push_back(entry->first);
    if (entry->second.exported) marks.numbers.push_back(entry->first);
  }
  if (!removals.numbers.empty()) batch.push_back(std::move(removals));
  for (const auto* entry : order) {
    const Shop& one = entry->second;
    if (one.found != nullptr) batch.push_back({RowChange::Found, *one.found, {}});
    if (one.ordinal) {
      RowChange ordinal{RowChange::SetOrdinal, {}, {entry->first}};
      ordinal.row.cells[0] = *one.ordinal;
      batch.push_back(std::move(ordinal));
    }
  }
  if (!marks.numbers.empty()) batch.push_back(std::move(marks));
  return batch;
}

void PendingChanges::Clear() {
  shops_.clear();
  clear_ = false;
  changes_ = 0;
}

ResultsKeeper::ResultsKeeper(std::string path, KeeperOptions options)
    : path_(std::move(path)), options_(std::move(options)) {}

ResultsKeeper::~ResultsKeeper() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void ResultsKeeper::Start(KeeperHooks hooks) {
  hooks_ = std::move(hooks);
  thread_ = std::thread([this] { Work(); });
}

void ResultsKeeper::Enqueue(RowChange change) {
  bool first = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    // A removal is marked in the same take of the lock that queues it: a
    // batch taken in between would clear the mark before the removal is
    // queued, and show the removed shop again after its commit.
    if (change.kind == RowChange::Remove) {
      removedLately_.insert(change.numbers.begin(), change.numbers.end());
    }
    if (change.kind == RowChange::Clear) clearedLately_ = true;
    first = queue_.empty();
    queue_.push_back(std::move(change));
    ++queued_;
  }
  // Only the first change of a batch wakes the writer; the rest join it
  // while it gathers, without a thread switch each.
  if (first) wake_.notify_all();
}

void ResultsKeeper::Found(std::int64_t number, ShopCells cells) {
  RowChange change;
  change.row.number = number;
  change.row.cells = std::move(cells);
  change.row.cells[0].clear();  // the ordinal is the list's, and the user's
  Enqueue(std::move(change));
}

void ResultsKeeper::OnKept(KeptHandler handler) {
  std::lock_guard<std::mutex> guard(mutex_);
  kept_ = std::move(handler);
}

void ResultsKeeper::Remove(std::vector<std::int64_t> numbers) {
  if (numbers.empty()) return;
  RowChange change;
  change.kind = RowChange::Remove;
  change.numbers = std::move(numbers);
  Enqueue(std::move(change));
}

void ResultsKeeper::Clear() {
  RowChange change;
  change.kind = RowChange::Clear;
  Enqueue(std::move(change));
}

void ResultsKeeper::SetOrdinal(std::int64_t number, std::string text) {
  RowChange change;
  change.kind = RowChange::SetOrdinal;
  change.numbers = {number};
  change.row.cells[0] = std::move(text);
  Enqueue(std::move(change));
}

void ResultsKeeper::MarkExported(std::vector<std::int64_t> numbers) {
  if (numbers.empty()) return;
  RowChange change;
  change.kind = RowChange::MarkExported;
  change.numbers = std::move(numbers);
  Enqueue(std::move(change));
}

bool ResultsKeeper::Commit(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable()) return queued_ == 0;
  const std::uint64_t target = queued_;
  hurry_ = true;
  wake_.notify_all();
  // A write of these changes that failed is not waited for again: their rows
  // are in the list, and the program may end.
  const bool kept = committed_.wait_for(
      lock, limit, [&] { return done_ >= target || (tried_ >= target && behind_.load()); });
  hurry_ = false;
  return kept && !behind_.load();
}

void ResultsKeeper::Say(std::string_view message) {
  ReportFailure(FailureArea::Files, GbkToUtf8(message));
  if (hooks_.say) hooks_.say(message);
}

void ResultsKeeper::OpenAndLoad() {
  if (path_.empty()) {
    loading_.store(false);
    return;
  }
  DbOpen outcome = DbOpen::Unavailable;
  std::string movedTo;
  db_ = ResultsDb::Open(path_, outcome, movedTo, options_.db);
  switch (outcome) {
    case DbOpen::Opened:
      break;
    case DbOpen::MovedAside:
      Say(std::string(kResultsMovedAsideMessage) + Utf8ToGbk(movedTo) +
          std::string(kResultsNewFileMessage));
      break;
    case DbOpen::HeldByOther:
      Say(kResultsHeldByOtherMessage);
      break;
    case DbOpen::Busy:
      Say(kResultsBusyMessage);
      break;
    case DbOpen::Unavailable:
      Say(std::string(kResultsUnavailableMessage) + Utf8ToGbk(path_));
      break;
  }
  if (db_) {
    const DbWrite read = db_->Load(options_.loadChunk, [this](std::vector<ShopRow>&& rows) {
      loaded_.fetch_add(rows.size());
      if (hooks_.show) hooks_.show(std::move(rows));
    });
    if (read == DbWrite::Corrupt) {
      // The rows read so far are in the list; they go into a new file, the
      // unreadable one is moved aside.
      std::vector<RowChange> salvage;
      (void)db_->Load(options_.loadChunk, [&salvage](std::vector<ShopRow>&& rows) {
        for (ShopRow& row : rows) salvage.push_back({RowChange::Restore, std::move(row), {}});
      });
      movedTo = db_->MoveAside();
      db_.reset();
      std::string ignored;
      if (!movedTo.empty()) db_ = ResultsDb::Open(path_, outcome, ignored, options_.db);
      if (db_ && db_->Apply(salvage, std::time(nullptr)) == DbWrite::Kept) {
        Say(std::string(kResultsMovedAsideMessage) + Utf8ToGbk(movedTo) +
            std::string(kResultsNewFileMessage));
      } else {
        db_.reset();
        Say(std::string(kResultsUnavailableMessage) + Utf8ToGbk(path_));
      }
    } else if (read != DbWrite::Kept) {
      db_.reset();
      Say(std::string(kResultsUnavailableMessage) + Utf8ToGbk(path_));
    }
  }
  onDisk_.store(db_ != nullptr);
  loading_.store(false);
}

std::size_t ResultsKeeper::Waiting() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return waiting_;
}

bool ResultsKeeper::WriteBatch(const std::vector<RowChange>& batch) {
  const DbWrite written = db_ ? db_->Apply(batch, std::time(nullptr)) : DbWrite::Kept;
  if (written == DbWrite::Kept) {
    if (behind_.exchange(false)) Say(kResultsWrittenAgainMessage);
    return true;
  }
  if (written == DbWrite::Corrupt) {
    // Never rewritten while the program runs: the rest of this start stays in
    // memory, the file as it is.
    db_.reset();
    onDisk_.store(false);
    behind_.store(false);
    Say(std::string(kResultsUnavailableMessage) + Utf8ToGbk(path_));
    return true;
  }
  if (!behind_.exchange(true)) Say(kResultsWriteFailedMessage);
  return false;
}

void ResultsKeeper::Work() {
  OpenAndLoad();
  // Changes not yet written, one per shop: while writes fail, each try
  // writes what the shops are by then, not every change since.
  PendingChanges pending;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || !queue_.empty() || !pending.Empty(); });
    if (stop_ && queue_.empty() && pending.Empty()) break;
    // Rows gather for a moment, unless a commit is waited for.
    if (!stop_ && !hurry_) {
      wake_.wait_for(lock, pending.Empty() ? options_.batch : options_.retryPause,
                     [&] { return stop_ || hurry_; });
    }
    std::vector<RowChange> taken = std::move(queue_);
    queue_.clear();
    taken_ += taken.size();
    removedLately_.clear();
    clearedLately_ = false;
    const std::uint64_t taking = taken_;
    const bool last = stop_;
    lock.unlock();
    // The new found rows are shown after this write whether it holds them
    // or not, since the list goes on in memory.
    std::vector<ShopRow> rows = FoundRows(taken, 0);
    bool kept = false;
    std::uint64_t held = 0;           // the changes this write held
    std::vector<std::int64_t> found;  // the shops found that this write kept
    const auto foundIn = [&found](const std::vector<RowChange>& batch) {
      for (const RowChange& change : batch) {
        if (change.kind == RowChange::Found) found.push_back(change.row.number);
      }
    };
    if (pending.Empty()) {
      // The usual case: the batch as it came, merged only once it must wait.
      kept = WriteBatch(taken);
      held = taken.size();
      if (kept) {
        foundIn(taken);
      } else {
        for (RowChange& change : taken) pending.Add(std::move(change));
      }
    } else {
      for (RowChange& change : taken) pending.Add(std::move(change));
      const std::vector<RowChange> batch = pending.Batch();
      kept = WriteBatch(batch);
      held = pending.Changes();
      if (kept) foundIn(batch);
    }
    taken.clear();
    lock.lock();
    // Shown under the lock the user's removals take first: a shop removed
    // while its batch was written stays away (its removal is in the next one).
    if (hooks_.show && !rows.empty() && !clearedLately_) {
      std::erase_if(rows,
                    [this](const ShopRow& row) { return removedLately_.contains(row.number); });
      hooks_.show(std::move(rows));
    }
    tried_ = taking;
    // Only now may the engine count these numbers as done for good.
    if (kept && kept_ && !found.empty()) kept_(found);
    if (kept || last) {
      done_ += held;
      pending.Clear();
    }
    waiting_ = pending.Shops();
    committed_.notify_all();
    if (last && !kept) break;
  }
}

}  // namespace dt
