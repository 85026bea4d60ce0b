// Tries and pauses of a collector scaled down for tests against the
// simulator: the same rules, in milliseconds instead of seconds.
#pragma once

#include <chrono>

#include "collect/market_pace.h"

namespace dt::testing {

inline PaceRules QuickPaceRules() {
  using namespace std::chrono_literals;
  PaceRules rules;
  rules.attempts = 4;
  rules.firstPause = 5ms;
  rules.longestPause = 50ms;
  rules.jitter = 0;
  rules.longestRetryAfter = 200ms;
  rules.probePause = 20ms;
  // No outage in these tests: a streak of broken numbers never counts as one.
  rules.downAfter = 10min;
  rules.blockAfter = 20min;
  return rules;
}

}  // namespace dt::testing
