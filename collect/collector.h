// The collection engine as the window sees it: the run, the results list's
// data, the status lines and the filters, wired to the shop task.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "collect/collection_run.h"
#include "collect/frontier.h"
#include "collect/market_pace.h"
#include "collect/results_store.h"
#include "collect/status_log.h"
#include "collect/worker_pool.h"
#include "shoppage/fetch_page.h"

namespace dt {

// Fetches one page and tells how the fetch ended; may normalise the address
// in place.
using PageFetcher = std::function<std::string(std::string& address, FetchOutcome& outcome)>;

// Writes one shop log entry (section "新开店铺旺旺", key, value), GBK; false
// when the entry could not be stored.
using ShopLogWriter = std::function<bool(std::string_view key, std::string_view value)>;

struct CollectorConfig {
  PageFetcher fetchPage;
  ShopLogWriter writeShopLog;  // may be empty: no log
  std::string shopLogName;     // the log's path for messages, GBK
  PaceRules paceRules;         // tries, pauses and pace against the marketplace
  // Where found shops go (the kept list, which shows them in the results once
  // committed, and says when they are kept: their numbers hold the resume
  // point until then); without one they go straight into the results.
  ShopRowSink* rowSink = nullptr;
};

// The status line of a run the marketplace stopped.
inline constexpr std::string_view kMarketRefusedMessage =
    "\xCA\xD0\xB3\xA1\xBE\xDC\xBE\xF8\xB7\xC3\xCE\xCA\xA3\xAC"
    "\xB2\xC9\xBC\xAF\xD2\xD1\xD4\xDD\xCD\xA3";  // 市场拒绝访问，采集已暂停
// The same when the refusals asked for a sign-in or a check.
inline constexpr std::string_view kMarketSignInMessage =
    "\xCA\xD0\xB3\xA1\xD2\xAA\xC7\xF3\xB5\xC7\xC2\xBC/\xD1\xE9\xD6\xA4\xA3\xAC"
    "\xB2\xC9\xBC\xAF\xD2\xD1\xD4\xDD\xCD\xA3";  // 市场要求登录/验证，采集已暂停
// A drought stopped the run: "连续 N 个编号没有店铺：可能已超过最新店铺，或被拦截，采集已暂停".
inline constexpr std::string_view kDroughtMessageStart = "\xC1\xAC\xD0\xF8 ";  // 连续
inline constexpr std::string_view kDroughtMessageEnd =
    " \xB8\xF6\xB1\xE0\xBA\xC5\xC3\xBB\xD3\xD0\xB5\xEA\xC6\xCC\xA3\xBA"  // 个编号没有店铺：
    "\xBF\xC9\xC4\xDC\xD2\xD1\xB3\xAC\xB9\xFD\xD7\xEE\xD0\xC2\xB5\xEA\xC6\xCC\xA3\xAC"  // 可能已超过最新店铺，
    "\xBB\xF2\xB1\xBB\xC0\xB9\xBD\xD8\xA3\xAC"   // 或被拦截，
    "\xB2\xC9\xBC\xAF\xD2\xD1\xD4\xDD\xCD\xA3";  // 采集已暂停

// A follow run found the marketplace refusing: "市场拒绝访问，跟踪等待后自动重试".
inline constexpr std::string_view kFollowBlockedMessage =
    "\xCA\xD0\xB3\xA1\xBE\xDC\xBE\xF8\xB7\xC3\xCE\xCA\xA3\xAC"  // 市场拒绝访问，
    "\xB8\xFA\xD7\xD9\xB5\xC8\xB4\xFD\xBA\xF3\xD7\xD4\xB6\xAF\xD6\xD8\xCA\xD4";  // 跟踪等待后自动重试
// ... and the marketplace answers again: "市场恢复访问，继续跟踪".
inline constexpr std::string_view kFollowResumedMessage =
    "\xCA\xD0\xB3\xA1\xBB\xD6\xB8\xB4\xB7\xC3\xCE\xCA\xA3\xAC"  // 市场恢复访问，
    "\xBC\xCC\xD0\xF8\xB8\xFA\xD7\xD9";                         // 继续跟踪

class Collector {
 public:
  Collector(WorkerPool& pool, RunLock& lock, CollectorConfig config);
  // For tests of the run machinery: the given work stands in for the shop
  // task's (fetch, parse, filter, row, log).
  Collector(WorkerPool& pool, RunLock& lock, std::function<void(ShopNumber)> pageWork);
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  CollectionRun& Run() { return run_; }
  const MarketPace& Pace() const { return pace_; }
  // The run's figures with the marketplace's pace and health.
  RunProgress Progress() const;
  ResultsStore& Results() { return results_; }
  StatusLog& Status() { return status_; }

  // Starts a run (CollectionRun::Start); that run may report a failing shop
  // log once again.
  void Start(int first);
  // Starts a run over the failed list's numbers; false when it is empty.
  bool StartFailedNumbers();

  // Starts a follow run: from the saved state when there is one, else it
  // finds the top from `from` upward. It goes on until Run().Stop(); a block
  // makes it wait and try again by itself.
  void StartFollow(std::int64_t from, std::optional<FollowState> saved, FollowSettings settings);
  // The latest follow run's state, to keep on disk (window thread; takes no
  // run lock). nullopt when no follow run was started.
  std::optional<FollowState> FollowSnapshot() const;
  // Called on a task thread, outside every lock, with each poll's news.
  // Set before StartFollow.
  void OnFollowNews(std::function<void(const FollowNews&)> handler);

  // Mirrors of the two filter boxes, set by the window on every change and
  // read by the shop task at the moment it filters.
  void SetZeroItemsFilter(bool on) { zeroItems_.store(on); }    // 选择框0宝贝 "零宝贝"
  void SetZeroCreditFilter(bool on) { zeroCredit_.store(on); }  // 选择框0信用 "零信用"

  // Requests at once, 1 to RequestSlots::kMostAtOnce; applies to the requests
  // that start after the call.
  void SetRequestsAtOnce(int count) { run_.Slots().SetCeiling(count); }

 private:
  // One try of a shop page (any thread; the request holds a slot): the rest
  // of its work, handed back to run under the run lock, or the moment of its
  // next try, as the pace decides.
  CollectionRun::Step FetchShopPage(ShopNumber number, int attempt);
  PageOutcome ShopPageWork(ShopNumber number, const std::string& address, const std::string& body);
  void ReportBlock(ShopNumber number);
  // A new run starts with a clean pace, full request slots and its own
  // report of a failing shop log.
  void ForgetLastRun();

  // The latest follow run (the window and task threads both look at it),
  // and the same only while the latest run is that follow run.
  std::shared_ptr<FollowSource> Follow() const;
  std::shared_ptr<FollowSource> FollowRun() const;

  CollectorConfig config_;
  std::function<void(ShopNumber)> testPageWork_;
  mutable std::mutex followMutex_;
  std::shared_ptr<FollowSource> follow_;
  bool followRunning_ = false;
  std::function<void(const FollowNews&)> onFollowNews_;
  ResultsStore results_;
  StatusLog status_;
  std::atomic<bool> zeroItems_{false};
  std::atomic<bool> zeroCredit_{false};
  // Only the first failed log write of a run gets a status line.
  std::atomic<bool> logFailureReported_{false};
  MarketPace pace_;
  CollectionRun run_;
};

}  // namespace dt
