#include "shell/headless_options.h"

#include <cstdint>
#include <limits>

namespace dt::shell {
namespace {

// A shop number or a count: decimal digits only, at most the largest shop
// number. No sign, no blanks, no grouping: a typo must not become a number.
std::optional<std::int64_t> WholeNumber(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return value;
}

bool LooksLikeOption(const std::string& arg) {
  return arg.size() >= 2 && arg[0] == '-' && arg[1] == '-';
}

}  // namespace

HeadlessOptions ParseHeadlessOptions(const std::vector<std::string>& args) {
  HeadlessOptions options;
  const auto refuse = [&options](std::string message) {
    if (options.error.empty()) options.error = std::move(message);
  };
  // The value after args[i], or nullopt (and an error) when there is none.
  const auto number = [&](std::size_t& i, const char* option) -> std::optional<std::int64_t> {
    if (i + 1 >= args.size() || LooksLikeOption(args[i + 1])) {
      refuse(std::string(option) + " needs a number");
      return std::nullopt;
    }
    const std::string& text = args[++i];
    const std::optional<std::int64_t> value = WholeNumber(text);
    if (!value) refuse(std::string(option) + ": not a shop number: " + text);
    return value;
  };
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--headless") {
      options.headless = true;
    } else if (arg == "--help") {
      options.help = true;
    } else if (arg == "--follow") {
      options.follow = true;
      options.followFrom.reset();
      // FROM is optional: only a following word that is no option is taken.
      if (i + 1 < args.size() && !LooksLikeOption(args[i + 1])) {
        options.followFrom = number(i, "--follow");
      }
    } else if (arg == "--range") {
      const std::optional<std::int64_t> first = number(i, "--range");
      const std::optional<std::int64_t> last = first ? number(i, "--range") : std::nullopt;
      if (first && last && *first > *last) refuse("--range: the first number lies above the last");
      options.rangeFirst = first;
      options.rangeLast = last;
    } else if (arg == "--poll") {
      const std::optional<std::int64_t> seconds = number(i, "--poll");
      if (seconds && (*seconds < kLeastPollSeconds || *seconds > kMostPollSeconds)) {
        refuse("--poll: the wait is " + std::to_string(kLeastPollSeconds) + " to " +
               std::to_string(kMostPollSeconds) + " seconds");
      } else if (seconds) {
        options.pollSeconds = static_cast<int>(*seconds);
      }
    }
  }
  if (options.follow && options.rangeFirst) refuse("--follow and --range exclude each other");
  return options;
}

std::string HeadlessUsage() {
  return "Usage: dovetrail [--headless [--follow [FROM] | --range LO HI] [--poll SECONDS]]\n"
         "\n"
         "Without --headless the window opens and the run options are not used.\n"
         "\n"
         "  --headless         run without a window: the same settings, results file,\n"
         "                     shop log and status socket; status lines go to stdout\n"
         "  --follow [FROM]    follow the newest shops: from FROM, else from the kept\n"
         "                     follow state, the highest listed shop or the range's\n"
         "                     first number\n"
         "  --range LO HI      walk the shop numbers LO to HI and end\n"
         "  --poll SECONDS     wait between two polls while following (5 to 86400;\n"
         "                     default: the window's setting, else 60)\n"
         "  --help             print this text and end\n"
         "\n"
         "Without --follow or --range, --headless runs what the window's start\n"
         "button would: a follow run when following is ticked, else the saved range.\n"
         "SIGTERM and SIGINT stop the run and save its state. Exit status: 0 done,\n"
         "1 another copy runs, 2 a bad option.\n";
}

}  // namespace dt::shell
