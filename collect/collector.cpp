#include "collect/collector.h"

#include <utility>

#include "collect/shop_task.h"
#include "shoppage/shop_page.h"
#include "text/failure_log.h"
#include "text/gbk_text.h"

namespace dt {

Collector::Collector(WorkerPool& pool, RunLock& lock, CollectorConfig config)
    : config_(std::move(config)),
      run_(pool, lock, [this](ShopNumber number) { ShopPageWork(number); }) {}

void Collector::ShopPageWork(ShopNumber number) {
  if (config_.pageWorkOverride) {
    config_.pageWorkOverride(number);
    return;
  }
  std::string address = ShopAddress(number);
  const std::string body = config_.fetchPage ? config_.fetchPage(address) : std::string();
  const std::optional<ShopPageFields> fields = ParseShopPage(PageText(body));
  if (!fields) return;
  if (ShopRejected(*fields, zeroItems_.load(), zeroCredit_.load())) {
    status_.AppendStatusLine(std::string(kFilterNotePrefix) + ToText(number));
    return;
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
}

void Collector::Start(int first) {
  logFailureReported_.store(false);
  run_.Start(first);
}

}  // namespace dt
