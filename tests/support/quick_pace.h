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
  rules.troublePause = 5ms;
  rules.longestPause = 50ms;
  rules.jitter = 0;
  rules.longestRetryAfter = 200ms;
  rules.probePause = 20ms;
  rules.stormFloor = 1ms;
  rules.longestInterval = 50ms;
  // No outage in these tests: a streak of broken numbers never counts as one.
  rules.downAfter = 10min;
  rules.blockAfter = 20min;
  return rules;
}

// The same with the outage rules on, scaled down: down after 1 s with
// nothing read, blocked 6 s after the first failure (15 s and 90 s in the
// program).
inline PaceRules QuickOutageRules() {
  using namespace std::chrono_literals;
  PaceRules rules = QuickPaceRules();
  rules.downAfter = 1s;
  rules.blockAfter = 6s;
  return rules;
}

}  // namespace dt::testing
