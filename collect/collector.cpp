#include "collect/collector.h"

#include <utility>

#include "collect/shop_task.h"
#include "shoppage/shop_page.h"
#include "text/failure_log.h"
#include "text/gbk_text.h"

namespace dt {

Collector::Collector(WorkerPool& pool, RunLock& lock, CollectorConfig config)
    : config_(std::move(config)),
      run_(
          pool, lock, [this](ShopNumber number) { return ShopPageWork(number); },
          CollectionRun::Counted{}) {}

Collector::Collector(WorkerPool& pool, RunLock& lock, std::function<void(ShopNumber)> pageWork)
    : Collector(pool, lock, CollectorConfig{}) {
  testPageWork_ = std::move(pageWork);
}

PageOutcome Collector::ShopPageWork(ShopNumber number) {
  if (testPageWork_) {
    testPageWork_(number);
    return PageOutcome::Other;
  }
  std::string address = ShopAddress(number);
  const std::string body = config_.fetchPage ? config_.fetchPage(address) : std::string();
  // An empty body is a fetch that failed: no page from the marketplace
  // is ever empty.
  if (body.empty()) return PageOutcome::Empty;
  const std::optional<ShopPageFields> fields = ParseShopPage(PageText(body));
  if (!fields) return PageOutcome::Other;
  if (ShopRejected(*fields, zeroItems_.load(), zeroCredit_.load())) {
    status_.AppendStatusLine(std::string(kFilterNotePrefix) + ToText(number));
    return PageOutcome::Filtered;
  }
  // The row holds the fields exactly as the page gave them.
  ResultsStore::Cells cells;
  cells[kColAccount] = fields->sellerAccount;
  cells[kColShopName] = fields->shopName;
  cells[kColAddress] = address;
  cells[kColCreated] = fields->creationDate;
  cells[kColCredit] = fields->creditLevel;
  cells[kColItems] = fields->itemCount;
  results_.AppendNumberedRow(std::move(cells));
  if (config_.writeShopLog && !config_.writeShopLog(ToText(number), ShopLogValue(*fields)) &&
      !logFailureReported_.exchange(true)) {
    ReportFailure(FailureArea::Run, "shop log entry of " + ToText(number) + " not written");
    status_.AppendStatusLine(std::string(kShopLogFailedMessage) + config_.shopLogName);
  }
  return PageOutcome::Listed;
}

void Collector::Start(int first) {
  logFailureReported_.store(false);
  run_.Start(first);
}

}  // namespace dt
