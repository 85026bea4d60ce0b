// The collection engine as the window sees it: the run, the results list's
// data, the status lines and the filters, wired to the shop task.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "collect/collection_run.h"
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
  // committed); without one they go straight into the results.
  ShopRowSink* rowSink = nullptr;
};

// The status line of a run the marketplace stopped.
inline constexpr std::string_view kMarketRefusedMessage =
    "\xCA\xD0\xB3\xA1\xBE\xDC\xBE\xF8\xB7\xC3\xCE\xCA\xA3\xAC"
    "\xB2\xC9\xBC\xAF\xD2\xD1\xD4\xDD\xCD\xA3";  // 市场拒绝访问，采集已暂停

class Collector {
 public:
  Collector(WorkerPool& pool, RunLock& lock, CollectorConfig config);
  // For tests of the run machinery: the given work stands in for the shop
  // task's (fetch, parse, filter, row, log).
  Collector(WorkerPool& pool, RunLock& lock, std::function<void(ShopNumber)> pageWork);

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

  // Mirrors of the two filter boxes, set by the window on every change and
  // read by the shop task at the moment it filters.
  void SetZeroItemsFilter(bool on) { zeroItems_.store(on); }    // 选择框0宝贝 "零宝贝"
  void SetZeroCreditFilter(bool on) { zeroCredit_.store(on); }  // 选择框0信用 "零信用"

  // Requests at once, 1 to RequestSlots::kMostAtOnce; applies to the requests
  // that start after the call.
  void SetRequestsAtOnce(int count) { run_.Slots().SetCeiling(count); }

 private:
  // A shop page's fetch (any thread, in a request slot) and the rest of its
  // work, handed back to run under the run lock.
  CollectionRun::PageRest FetchShopPage(ShopNumber number);
  PageOutcome ShopPageWork(ShopNumber number, const std::string& address, const std::string& body);
  // The page of number as the marketplace finally gave it, tried as often as
  // the pace allows; nullopt with the outcome to count when none was read.
  struct Fetched {
    std::string body;
    FetchOutcome outcome;
  };
  std::optional<Fetched> FetchWithTries(ShopNumber number, std::string& address,
                                        PageOutcome& failure);

  CollectorConfig config_;
  std::function<void(ShopNumber)> testPageWork_;
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
