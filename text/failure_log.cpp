#include "text/failure_log.h"

#include <atomic>

namespace dt {
namespace {

std::atomic<FailureSink> gSink{nullptr};

}  // namespace

void SetFailureSink(FailureSink sink) {
  gSink.store(sink);
}

void ReportFailure(FailureArea area, std::string_view message) {
  if (const FailureSink sink = gSink.load()) sink(area, message);
}

}  // namespace dt
