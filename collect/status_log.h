// Time-stamped status lines, the program's only log. Task threads and the
// window thread both write; the window thread shows what is new on a timer.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace dt {

// The wall clock now, as HH:MM:SS in local time.
std::string LocalClockText();

class StatusLog {
 public:
  using Clock = std::function<std::string()>;
  explicit StatusLog(Clock clock = LocalClockText);

  // Appends "\r\n" + clock + "：" + message, unless message equals the previous
  // one byte for byte (so an empty first message is dropped too). The clock is
  // read at the call. Thread-safe; never waits for the window.
  void AppendStatusLine(std::string_view message);

  // The GBK text appended since the previous call (window thread, on its timer).
  std::string TakePending();

  std::string LastMessage() const;

 private:
  Clock clock_;
  mutable std::mutex mutex_;
  std::string last_;
  std::string pending_;
};

}  // namespace dt
