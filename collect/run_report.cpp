#include "collect/run_report.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <ctime>
#include <map>

#include "text/gbk_text.h"

namespace dt {
namespace {

// Readout words, GBK.
constexpr std::string_view kWordIdle = "\xBF\xD5\xCF\xD0";                           // 空闲
constexpr std::string_view kWordRunning = "\xD4\xCB\xD0\xD0\xD6\xD0";                // 运行中
constexpr std::string_view kWordStopped = "\xD2\xD1\xCD\xA3\xD6\xB9";                // 已停止
constexpr std::string_view kWordFinished = "\xD2\xD1\xCD\xEA\xB3\xC9";               // 已完成
constexpr std::string_view kWordEnded = "\xD2\xD1\xB5\xBD\xC4\xA9\xCE\xB2";          // 已到末尾
constexpr std::string_view kWordBlocked = "\xCA\xD0\xB3\xA1\xBE\xDC\xBE\xF8";        // 市场拒绝
constexpr std::string_view kWordFollowing = "\xB8\xFA\xD7\xD9\xD6\xD0";              // 跟踪中
constexpr std::string_view kWordRange = "  \xB1\xE0\xBA\xC5 ";                       // 编号
constexpr std::string_view kWordArrow = " \xA1\xFA ";                                // →
constexpr std::string_view kWordLastTime = "  \xC9\xCF\xB4\xCE";                     // 上次
constexpr std::string_view kWordDone = "\xCD\xEA\xB3\xC9 ";                          // 完成
constexpr std::string_view kWordNext = "  \xCF\xC2\xD2\xBB\xB8\xF6 ";                // 下一个
constexpr std::string_view kWordShops = "\xB5\xEA\xC6\xCC ";                         // 店铺
constexpr std::string_view kWordFiltered = "  \xB9\xFD\xC2\xCB ";                    // 过滤
constexpr std::string_view kWordFailed = "  \xCA\xA7\xB0\xDC ";                      // 失败
constexpr std::string_view kWordRetries = "  \xD6\xD8\xCA\xD4 ";                     // 重试
constexpr std::string_view kWordPace = "  \xBC\xE4\xB8\xF4 ";                        // 间隔
constexpr std::string_view kWordMilliseconds = " \xBA\xC1\xC3\xEB";                  // 毫秒
constexpr std::string_view kWordAtOnce = "  \xB2\xA2\xB7\xA2 ";                      // 并发
constexpr std::string_view kWordRetryFailed = "\xD6\xD8\xCA\xD4\xCA\xA7\xB0\xDC (";  // 重试失败
constexpr std::string_view kWordUnreachable =
    "  \xCA\xD0\xB3\xA1\xCE\xDE\xB7\xA8\xC1\xAC\xBD\xD3";          // 市场无法连接
constexpr std::string_view kWordRate = "\xCB\xD9\xB6\xC8 ";        // 速度
constexpr std::string_view kWordPerSecond = " \xD2\xB3/\xC3\xEB";  // 页/秒
constexpr std::string_view kWordLeft = "  \xCA\xA3\xD3\xE0 ";      // 剩余
constexpr std::string_view kWordTook = "\xD3\xC3\xCA\xB1 ";        // 用时
constexpr std::string_view kWordDays = "\xCC\xEC ";                // 天
constexpr std::string_view kWordUnknownTime = "--:--:--";
constexpr std::string_view kWordNewest = "  \xD7\xEE\xD0\xC2\xB5\xEA\xC6\xCC ";  // 最新店铺
constexpr std::string_view kWordNextLook =
    " \xA1\xA4 \xCF\xC2\xB4\xCE\xB2\xE9\xBF\xB4 ";                         //  · 下次查看
constexpr std::string_view kWordNewShops = " \xA1\xA4 \xD0\xC2\xB5\xEA ";  //  · 新店
constexpr std::string_view kWordFrom = "\xB4\xD3 ";                        // 从
constexpr std::string_view kWordGoOn = " \xBC\xCC\xD0\xF8";                // 继续
// A drought stopped the run: no refusal.
constexpr std::string_view kWordDrought = "\xCE\xDE\xB5\xEA\xC6\xCC\xD4\xDD\xCD\xA3";  // 无店铺暂停

constexpr std::string_view kFileHeader = "dovetrail-run 1";
constexpr std::string_view kFailedFileHeader = "dovetrail-failed 1";

std::string Num(std::int64_t value) {
  return std::to_string(value);
}

// The first line of text, without its LF or CR LF; text keeps the rest.
std::string_view TakeLine(std::string_view& text) {
  const std::size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::string_view StateWord(RunState state) {
  switch (state) {
    case RunState::Idle:
      return kWordIdle;
    case RunState::Running:
      return kWordRunning;
    case RunState::Stopped:
      return kWordStopped;
    case RunState::Finished:
      return kWordFinished;
    case RunState::Ended:
      return kWordEnded;
    case RunState::Blocked:
      return kWordBlocked;
    case RunState::Following:
      return kWordFollowing;
  }
  return kWordIdle;
}

// "done/size (p.pp%)"
std::string DoneOfSize(std::int64_t done, std::int64_t size) {
  std::string text = std::string(kWordDone) + Num(done) + "/" + Num(size);
  if (size > 0) {
    const std::int64_t hundredths = std::min<std::int64_t>(done, size) * 10000 / size;
    const std::int64_t cents = hundredths % 100;
    text += " (" + Num(hundredths / 100) + "." + (cents < 10 ? "0" : "") + Num(cents) + "%)";
  }
  return text;
}

bool Unreachable(const RunProgress& p) {
  return p.marketDown || p.failedInARow >= kUnreachableAfterEmptyFetches;
}

std::int64_t Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration_cast<std::chrono::seconds>(d).count();
}

}  // namespace

std::optional<std::int64_t> StrictNumber(std::string_view text, std::int64_t low,
                                         std::int64_t high) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < low || value > high) return std::nullopt;
  return value;
}

void RateMeter::Sample(Clock::time_point at, std::int64_t done) {
  if (!samples_.empty() && done < samples_.back().second) samples_.clear();
  samples_.emplace_back(at, done);
  while (samples_.size() > 1 && at - samples_.front().first > window_) samples_.pop_front();
}

double RateMeter::PagesPerSecond() const {
  if (samples_.size() < 2) return 0;
  const auto span = samples_.back().first - samples_.front().first;
  if (span < std::chrono::seconds(1)) return 0;
  const double seconds = std::chrono::duration<double>(span).count();
  return static_cast<double>(samples_.back().second - samples_.front().second) / seconds;
}

SavedRun SavedRunOf(const RunProgress& progress) {
  return SavedRun{progress.first, progress.last, progress.done, progress.resume,
                  progress.longestNoShop};
}

std::string RunStateFileText(const SavedRun& run) {
  std::string text = std::string(kFileHeader) + "\n";
  text += "first=" + Num(run.first) + "\n";
  text += "last=" + Num(run.last) + "\n";
  text += "done=" + Num(run.done) + "\n";
  if (run.resume) text += "resume=" + Num(*run.resume) + "\n";
  // Left out at 0, so a file without a drought reads as it always did.
  if (run.noShop > 0) text += "noshop=" + Num(run.noShop) + "\n";
  return text;
}

std::optional<SavedRun> ParseRunStateFile(std::string_view text) {
  if (text.size() > kMaxRunStateFileBytes) return std::nullopt;
  std::map<std::string, std::string_view, std::less<>> values;
  bool header = false;
  while (!text.empty()) {
    const std::string_view line = TakeLine(text);
    if (!header) {
      if (line != kFileHeader) return std::nullopt;
      header = true;
      continue;
    }
    if (line.empty()) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    // A key twice leaves no way to tell which one was meant.
    if (!values.emplace(std::string(line.substr(0, eq)), line.substr(eq + 1)).second) {
      return std::nullopt;
    }
  }
  if (!header) return std::nullopt;
  const auto number = [&values](std::string_view key, std::int64_t low, std::int64_t high) {
    const auto at = values.find(key);
    return at == values.end() ? std::nullopt : StrictNumber(at->second, low, high);
  };
  const auto first = number("first", INT_MIN, INT_MAX);
  const auto last = number("last", INT_MIN, INT_MAX);
  if (!first || !last) return std::nullopt;
  SavedRun run;
  run.first = *first;
  run.last = *last;
  run.done = number("done", 0, static_cast<std::int64_t>(UINT_MAX) + 1).value_or(0);
  // Only a point inside the range it belongs to can be offered.
  run.resume = number("resume", run.first, run.last);
  // Files written before it was kept have none: nothing known.
  run.noShop = number("noshop", 0, static_cast<std::int64_t>(UINT_MAX) + 1).value_or(0);
  return run;
}

std::string FailedNumbersFileText(const std::set<std::int64_t>& numbers) {
  std::string text = std::string(kFailedFileHeader) + "\n";
  for (const std::int64_t number : numbers) text += Num(number) + "\n";
  return text;
}

std::set<std::int64_t> ParseFailedNumbersFile(std::string_view text) {
  std::set<std::int64_t> numbers;
  if (text.size() > kMaxFailedNumbersFileBytes) return numbers;
  bool header = false;
  while (!text.empty()) {
    const std::string_view line = TakeLine(text);
    if (!header) {
      if (line != kFailedFileHeader) return numbers;
      header = true;
      continue;
    }
    if (const auto number = StrictNumber(line, INT_MIN, INT_MAX)) numbers.insert(*number);
  }
  return numbers;
}

std::string RetryFailedText(std::int64_t count) {
  return std::string(kWordRetryFailed) + Num(count) + ")";
}

std::string DurationText(std::chrono::seconds duration) {
  std::int64_t s = std::max<std::int64_t>(0, duration.count());
  const std::int64_t days = s / 86400;
  s %= 86400;
  const auto two = [](std::int64_t v) { return (v < 10 ? "0" : "") + Num(v); };
  std::string text = days > 0 ? Num(days) + std::string(kWordDays) : std::string();
  return text + Num(s / 3600) + ":" + two(s / 60 % 60) + ":" + two(s % 60);
}

std::string RateText(double pagesPerSecond) {
  char buffer[32];
  const double rate = pagesPerSecond > 0 && pagesPerSecond < 1e9 ? pagesPerSecond : 0;
  const auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, rate, std::chars_format::fixed, 1);
  return error == std::errc() ? std::string(buffer, end) : std::string("0.0");
}

std::string ClockText(std::int64_t secondsSinceEpoch) {
  const std::time_t at = static_cast<std::time_t>(secondsSinceEpoch);
  std::tm local{};
  if (localtime_r(&at, &local) == nullptr) return std::string(kWordUnknownTime);
  const auto two = [](int v) { return (v < 10 ? "0" : "") + std::to_string(v); };
  return two(local.tm_hour) + ":" + two(local.tm_min) + ":" + two(local.tm_sec);
}

std::string ReadoutText(const RunProgress& p, double rate, const std::optional<SavedRun>& saved) {
  if (p.state == RunState::Idle) {
    std::string text(kWordIdle);
    if (saved) {
      text += std::string(kWordLastTime) + std::string(kWordRange) + Num(saved->first) +
              std::string(kWordArrow) + Num(saved->last) + "\n";
      text += DoneOfSize(saved->done, RangeSize(saved->first, saved->last));
    }
    return text;
  }
  // A drought stops the run as a block does, but nothing refused it.
  std::string text(p.state == RunState::Blocked && p.drought ? kWordDrought : StateWord(p.state));
  if (p.mode == RunMode::Follow) {
    // A follow run has no end to measure against: the top, the next look
    // and what it found instead.
    text += std::string(kWordNewest) + Num(p.frontier) + std::string(kWordNextLook) +
            (p.nextPoll ? ClockText(*p.nextPoll) : std::string(kWordUnknownTime)) +
            std::string(kWordNewShops) + Num(p.newShops) + "\n";
  } else {
    text += std::string(kWordRange) + Num(p.first) + std::string(kWordArrow) + Num(p.last) + "\n";
    text += DoneOfSize(p.done, p.RangeSize()) + std::string(kWordNext) + Num(p.next) + "\n";
  }
  text += std::string(kWordShops) + Num(p.shops) + std::string(kWordFiltered) + Num(p.filtered) +
          std::string(kWordFailed) + Num(p.failedKept);
  if (p.retries > 0) text += std::string(kWordRetries) + Num(p.retries);
  if (Unreachable(p)) text += kWordUnreachable;
  text += "\n";
  if (p.mode == RunMode::Follow && p.state != RunState::Stopped) {
    text += std::string(kWordRate) + RateText(rate) + std::string(kWordPerSecond);
  } else if (p.state == RunState::Running || p.state == RunState::Ended) {
    const std::int64_t remaining = std::max<std::int64_t>(0, p.RangeSize() - p.done);
    text += std::string(kWordRate) + RateText(rate) + std::string(kWordPerSecond) +
            std::string(kWordLeft);
    // Beyond a century the figure says nothing.
    const double seconds = rate > 0 ? static_cast<double>(remaining) / rate : -1;
    text += seconds >= 0 && seconds < 3.2e9
                ? DurationText(std::chrono::seconds(static_cast<std::int64_t>(seconds)))
                : std::string(kWordUnknownTime);
    // The marketplace asked for a slower pace.
    if (p.paceMilliseconds > 0) {
      text += std::string(kWordPace) + Num(p.paceMilliseconds) + std::string(kWordMilliseconds);
    }
    // Requests out now of those the marketplace's answers allow.
    if (p.requestsAtOnce > 1) {
      text += std::string(kWordAtOnce) + Num(p.inFlight) + "/" + Num(p.requestLimit);
    }
  } else {
    text += std::string(kWordTook) + DurationText(std::chrono::seconds(Seconds(p.elapsed)));
  }
  return text;
}

std::optional<std::int64_t> ResumeOffer(const RunProgress& p,
                                        const std::optional<SavedRun>& saved) {
  switch (p.state) {
    case RunState::Idle:
      return saved ? saved->resume : std::nullopt;
    case RunState::Stopped:
    case RunState::Finished:
    case RunState::Blocked:
      // A run over the failed list leaves the range's point where it was.
      if (p.listSize > 0) return saved ? saved->resume : std::nullopt;
      return p.resume;
    case RunState::Running:
    case RunState::Ended:
    case RunState::Following:
      break;
  }
  return std::nullopt;
}

std::string ResumeOfferText(std::int64_t number) {
  return std::string(kWordFrom) + Num(number) + std::string(kWordGoOn);
}

std::string StatusAnswer(const RunProgress& p, double rate, const std::optional<SavedRun>& saved) {
  const bool idle = p.state == RunState::Idle;
  const bool fromFile = idle && saved.has_value();
  // Before any run there is no range to speak of, only the file's.
  const std::int64_t first = fromFile ? saved->first : idle ? 0 : p.first;
  const std::int64_t last = fromFile ? saved->last : idle ? 0 : p.last;
  const std::int64_t done = fromFile ? saved->done : p.done;
  const std::optional<std::int64_t> resume = fromFile ? saved->resume : p.resume;
  std::string line = "state=" + std::string(RunStateName(p.state));
  line += " first=" + Num(first);
  line += " last=" + Num(last);
  line += " next=" + Num(idle ? 0 : p.next);
  line += " done=" + Num(done);
  // A run over the failed list has the list's length as its size, not the
  // span of its numbers, as the readout shows.
  const std::int64_t size = fromFile ? RangeSize(first, last) : idle ? 0 : p.RangeSize();
  line += " size=" + Num(size);
  line += " shops=" + Num(p.shops);
  line += " filtered=" + Num(p.filtered);
  line += " failed=" + Num(p.failedKept);
  line += " rate=" + RateText(rate);
  line += " resume=" + Num(resume.value_or(0));
  line += " unreachable=" + std::string(Unreachable(p) ? "1" : "0");
  line += " retries=" + Num(p.retries);
  line += " pace=" + Num(p.paceMilliseconds);
  line += " inflight=" + Num(p.inFlight);
  line += " limit=" + Num(p.requestLimit);
  line += " mode=" + std::string(RunModeName(idle ? RunMode::Range : p.mode));
  line += " frontier=" + Num(p.frontier);
  line += " next_poll=" + Num(p.nextPoll.value_or(0));
  line += " new=" + Num(p.newShops);
  return line;
}

}  // namespace dt
