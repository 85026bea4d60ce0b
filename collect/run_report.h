// What the window and a script are told about a run: the rate over the last
// seconds, the readout's lines, the one-line status answer, and the small
// state file that keeps the resume point across restarts. Pure logic over
// RunProgress; texts are GBK.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "collect/collection_run.h"

namespace dt {

// This many failed numbers in a row, or the marketplace down, and it counts as
// out of reach.
inline constexpr std::int64_t kUnreachableAfterEmptyFetches = 50;

// Pages per second over a sliding window, from samples of the done counter.
class RateMeter {
 public:
  using Clock = std::chrono::steady_clock;
  explicit RateMeter(std::chrono::milliseconds window = std::chrono::seconds(10))
      : window_(window) {}

  // A counter lower than the last sample starts the meter afresh (a new run).
  void Sample(Clock::time_point at, std::int64_t done);
  void Reset() { samples_.clear(); }
  // 0 until the samples span a second.
  double PagesPerSecond() const;

 private:
  std::chrono::milliseconds window_;
  std::deque<std::pair<Clock::time_point, std::int64_t>> samples_;
};

// The run a state file remembers.
struct SavedRun {
  std::int64_t first = 0;
  std::int64_t last = 0;
  std::int64_t done = 0;
  std::optional<std::int64_t> resume;
  // The longest stretch of numbers read in a row without a shop on the way
  // to the resume point, so that going on over a stretch that stopped the
  // run does not stop it again.
  std::int64_t noShop = 0;
  bool operator==(const SavedRun&) const = default;
};

SavedRun SavedRunOf(const RunProgress& progress);

// The state file: a header line, then key=value lines, LF ends.
inline constexpr std::size_t kMaxRunStateFileBytes = 4096;
// A decimal integer and nothing else, within [low, high]: how the state
// files' numbers are read, since a file on disk is not to be trusted.
std::optional<std::int64_t> StrictNumber(std::string_view text, std::int64_t low,
                                         std::int64_t high);

std::string RunStateFileText(const SavedRun& run);
// nullopt for anything that is not such a file; a resume point outside the
// range it names is dropped.
std::optional<SavedRun> ParseRunStateFile(std::string_view text);

// The failed list's file: a header line, then one number a line, LF ends.
inline constexpr std::size_t kMaxFailedNumbersFileBytes = std::size_t{16} << 20;
std::string FailedNumbersFileText(const std::set<std::int64_t>& numbers);
// The numbers of such a file; lines that are no number of 32 bits are passed
// over, a file without the header or over the size cap gives none.
std::set<std::int64_t> ParseFailedNumbersFile(std::string_view text);

// The caption of the button that runs the failed list again: "重试失败 (N)".
std::string RetryFailedText(std::int64_t count);

// "H:MM:SS", with "N天 " in front from a day on.
std::string DurationText(std::chrono::seconds duration);
// The rate with one decimal, "." whatever the locale.
std::string RateText(double pagesPerSecond);

// A moment (seconds since the epoch) as the local "HH:MM:SS".
std::string ClockText(std::int64_t secondsSinceEpoch);

// The readout's lines, GBK, LF between them. A follow run's first line:
// "<state>  最新店铺 N · 下次查看 HH:MM:SS · 新店 K". saved: the run of the state file
// while no run has started since the program did.
std::string ReadoutText(const RunProgress& progress, double rate,
                        const std::optional<SavedRun>& saved);

// The resume point to offer: none while a run goes on.
std::optional<std::int64_t> ResumeOffer(const RunProgress& progress,
                                        const std::optional<SavedRun>& saved);

// The offer's caption: "从 N 继续".
std::string ResumeOfferText(std::int64_t number);

// key=value pairs separated by single blanks, state first; resume is 0 when
// there is none. The instance's show count is added by the socket.
std::string StatusAnswer(const RunProgress& progress, double rate,
                         const std::optional<SavedRun>& saved);

}  // namespace dt
