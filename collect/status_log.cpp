#include "collect/status_log.h"

#include <cstdio>
#include <ctime>

namespace dt {
namespace {
constexpr std::string_view kFullWidthColon = "\xA3\xBA";  // ：
}  // namespace

std::string LocalClockText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return buffer;
}

StatusLog::StatusLog(Clock clock) : clock_(std::move(clock)) {}

void StatusLog::AppendStatusLine(std::string_view message) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (message == last_) return;
  last_.assign(message);
  pending_.append("\r\n");
  pending_.append(clock_());
  pending_.append(kFullWidthColon);
  pending_.append(message);
}

std::string StatusLog::TakePending() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string out;
  out.swap(pending_);
  return out;
}

std::string StatusLog::LastMessage() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return last_;
}

}  // namespace dt
