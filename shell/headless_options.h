// The command line of a start without a window. Only these options are read;
// anything else on the line is left alone, as a windowed start leaves all of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dt::shell {

struct HeadlessOptions {
  bool headless = false;  // --headless
  bool help = false;      // --help
  // --follow [FROM]: follow the newest shops, from FROM when given.
  bool follow = false;
  std::optional<std::int64_t> followFrom;
  // --range LO HI: walk the range instead.
  std::optional<std::int64_t> rangeFirst, rangeLast;
  // --poll SECONDS: the wait between two polls, for this start only.
  std::optional<int> pollSeconds;
  // Set when a value was refused: what to tell the user (UTF-8, one line).
  std::string error;
};

// The shortest and longest waits between polls a user may ask for.
inline constexpr int kLeastPollSeconds = 5;
inline constexpr int kMostPollSeconds = 24 * 60 * 60;

// args[0] is the program. A value that is missing, not a whole decimal
// number, negative, above the largest shop number, or a poll outside its
// bounds sets error; so do a range whose first number lies above its last and
// a follow and a range asked for together.
HeadlessOptions ParseHeadlessOptions(const std::vector<std::string>& args);

// What --help prints, UTF-8, ending in a line break.
std::string HeadlessUsage();

}  // namespace dt::shell
