#include "collect/collector.h"

#include <utility>

namespace dt {

Collector::Collector(WorkerPool& pool, RunLock& lock, CollectorConfig config)
    : config_(std::move(config)),
      run_(pool, lock, [this](ShopNumber number) { ShopPageWork(number); }) {}

void Collector::ShopPageWork(ShopNumber number) {
  if (config_.pageWorkOverride) {
    config_.pageWorkOverride(number);
    return;
  }
}

}  // namespace dt
