// Following the newest shops. The marketplace gives each new shop a number
// above every earlier one, so the newest shops sit at the top of the numbers.
// A follow run finds that top by probing upward in growing steps and
// narrowing down, then polls: each poll re-reads one shop known to exist (a
// refusing marketplace serves pages without a shop), then reads upward from
// the highest shop until a gap wider than any seen near the top. When polls
// keep finding nothing, and at least hourly, it probes far ahead, since the
// marketplace may skip a stretch of numbers.
//
// Frontier is the pure decision (which number next, what a page meant), with
// the time handed in; FollowSource puts it behind the run's lock-free seam,
// with the clock, the news and the state a restart goes on from.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collect/collection_run.h"

namespace dt {

struct FollowSettings {
  // Between the end of one poll and the start of the next; at least
  // kLeastPollInterval, with a random spread of up to a tenth of it.
  std::chrono::seconds pollInterval{60};
  // How much faster than the wall clock the follow run's time goes. 1 in the
  // program; tests run hours of following in seconds with it. Only the
  // follow run's own waits are scaled, never a request's.
  double timeScale = 1.0;
};
inline constexpr std::chrono::seconds kLeastPollInterval{5};

// What a follow run keeps on disk between runs.
struct FollowState {
  std::int64_t frontier = 0;   // the highest shop number seen
  std::int64_t widestGap = 0;  // the widest gap between shops near the top
  std::int64_t nextPoll = 0;   // seconds since the epoch; 0 = at once
  std::int64_t knownShop = 0;  // a shop known to exist, re-read before each poll; 0: none
  // Stretches the marketplace skipped that are still to be read, [from, to].
  std::vector<std::pair<std::int64_t, std::int64_t>> skipped;
  bool operator==(const FollowState&) const = default;
};

// The state as a small text file: a header line, then key=value lines, LF ends.
inline constexpr std::size_t kMaxFollowStateFileBytes = 4096;
inline constexpr std::size_t kMostSkippedStretches = 16;
std::string FollowStateText(const FollowState& state);
// nullopt for anything that is not such a file (untrusted text).
std::optional<FollowState> ParseFollowState(std::string_view text);

// A poll's news, handed to a callback on a task thread, outside every lock.
struct FollowNews {
  enum Kind {
    NewShops,  // a poll listed accepted shops
    Blocked,   // the known shop no longer reads: the marketplace refuses
    Resumed,   // the known shop reads again after a block
  } kind = NewShops;
  int count = 0;                        // NewShops: accepted shops of the poll
  std::vector<std::string> firstNames;  // NewShops: the first few shop names, GBK, at most 3
  std::vector<std::int64_t> numbers;    // NewShops: their numbers, in order
  std::int64_t nextTry = 0;             // Blocked: the next try, seconds since the epoch
};
inline constexpr std::size_t kNewsNames = 3;
inline constexpr std::size_t kNewsNumbers = 1000;

// The decisions of a follow run. Times are seconds since the epoch (as a
// double, so a scaled clock keeps its fractions). Not thread-safe.
class Frontier {
 public:
  enum class Phase {
    Finding,  // probing for the top
    Polling,  // a poll (or the catching up after a restart) is being read
    Waiting,  // between polls
    Blocked,  // the known shop did not read: waiting to try it again
  };
  enum class Seen { Shop, NoShop, Failed };

  // A run from a saved state goes on from it; else it finds the top from
  // `from` upward.
  Frontier(std::int64_t from, const std::optional<FollowState>& saved, FollowSettings settings,
           double now, std::uint64_t seed = 1);

  // The next number to read, or nullopt: nothing until a page's answer
  // arrives or until WakeAt().
  std::optional<std::int64_t> Next(double now);
  double WakeAt() const { return wakeAt_; }
  // What the number's page came to. A number that was not read (a stop, a
  // refusal) is to be read again: Unread.
  // False for the known shop's check, which is no news and no page of the run.
  bool Record(std::int64_t number, Seen seen, double now);
  void Unread(std::int64_t number);
  // The marketplace refuses outright (the pace gave up on it): as a failed
  // check of the known shop.
  void Refused(double now);
  // Shops accepted (not filtered) and their names, for the news.
  void Accepted(std::int64_t number, std::string name);

  Phase CurrentPhase() const { return phase_; }
  FollowState State() const;
  // G: this many numbers without a shop past the poll's highest shop end it.
  std::int64_t Gap() const;
  // The highest shop seen (while finding: the highest the probes found).
  std::int64_t Top() const;
  std::int64_t NewShops() const { return newShops_; }
  std::int64_t Requests() const { return requests_; }  // numbers handed out
  // News of polls ended since the last call.
  std::vector<FollowNews> TakeNews();

 private:
  enum class Purpose { Probe, Poll, Check, Skipped };
  struct Window {
    std::int64_t from = 0, to = 0;  // [from, to]
  };
  std::optional<std::int64_t> HandOut(std::int64_t number, Purpose purpose);
  bool Outstanding(std::int64_t from, std::int64_t to) const;
  double Density() const;
  std::int64_t ProbeWidth() const;
  void PlanProbe();
  void ProbeDone(double now);
  void FoundTop(std::int64_t top);
  void StartLeap();
  void EndLeap(double now, bool found);
  void AddSkipped(std::int64_t from, std::int64_t to);
  void StartPollAt(std::int64_t start, std::int64_t top, bool topIsShop);
  void StartPoll();
  void EndPoll(double now);
  void Wait(double now);
  void Block(double now);
  void Unblock();

  FollowSettings settings_;
  std::minstd_rand random_;
  Phase phase_ = Phase::Finding;
  double wakeAt_ = 0;

  std::map<std::int64_t, Purpose> handedOut_;            // out, no answer yet
  std::deque<std::pair<std::int64_t, Purpose>> unread_;  // to hand out again first
  std::map<std::int64_t, Seen> seen_;                    // the probe's or the poll's answers

  // Probing: finding the top (low_: the highest window start with shops,
  // high_: the lowest above it without), or a leap past a skip (clearTo_:
  // the end of the highest empty window, shopAt_: the lowest window start
  // with shops above it).
  bool finding_ = true;
  bool leaping_ = false;
  bool probing_ = false;
  std::int64_t base_ = 0;
  std::int64_t step_ = 0;
  std::optional<std::int64_t> low_, high_, clearTo_, shopAt_, firstShopPast_;
  std::int64_t lowShop_ = 0;
  Window probe_;
  std::int64_t probeNext_ = 0;
  std::int64_t probedNumbers_ = 0, probedShops_ = 0;

  // Polling.
  std::int64_t frontier_ = 0;
  std::int64_t knownShop_ = 0;
  std::int64_t savedGap_ = 0;
  bool checking_ = false;  // the known shop's page is out
  bool checked_ = false;   // this poll's check came back with a shop
  std::int64_t pollStart_ = 0, pollNext_ = 0, pollTop_ = 0;
  std::optional<std::int64_t> pollBase_;  // the shop the poll reads on from
  std::set<std::int64_t> pollShops_;
  // The frontier as of the last check that read: a block found by the next
  // check may have begun before it, and every later read is suspect (a
  // refusing marketplace's pages look empty). Shops already news above it
  // are not news again when they are read once more.
  std::int64_t confirmed_ = 0;
  std::set<std::int64_t> newsAbove_;
  int emptyPolls_ = 0;
  double lastLeap_ = 0;
  double nextPoll_ = 0;
  // Shops within the last 1,000 numbers below the frontier, each with the
  // gap below it (only gaps read number by number).
  std::deque<std::pair<std::int64_t, std::int64_t>> gaps_;
  bool gapsFull_ = false;  // a shop has fallen out of that stretch
  std::vector<std::pair<std::int64_t, std::int64_t>> skipped_;
  std::int64_t skippedNext_ = 0;  // the next number of skipped_.front()

  // Blocks.
  int blockTries_ = 0;
  bool wasBlocked_ = false;
  Phase blockedFrom_ = Phase::Polling;

  std::int64_t newShops_ = 0;
  std::int64_t requests_ = 0;
  FollowNews pending_;  // the news of the poll in hand
  std::vector<FollowNews> news_;
};

// The Frontier behind a lock, on the follow run's clock: the run asks it
// under its own state lock, the window snapshots it without the run lock.
class FollowSource : public NumberSource {
 public:
  FollowSource(std::int64_t from, const std::optional<FollowState>& saved, FollowSettings settings,
               std::function<void(const FollowNews&)> onNews = {});

  // Follow time now, seconds since the epoch (scaled after the start).
  double Now() const;
  // The steady-clock moment a follow-time moment falls on.
  Clock::time_point SteadyAt(double followTime) const;

  // The run's seam.
  std::optional<std::int64_t> Next() override;
  Clock::time_point WakeAt() const override;
  bool Counted(std::int64_t number, PageOutcome outcome) override;
  void AfterCount() override;

  // A shop the filters let through, before its page is counted.
  void Accepted(std::int64_t number, std::string name);
  // The marketplace refused every try (the pace's block).
  void Refused();

  FollowState State() const;
  Frontier::Phase CurrentPhase() const;
  std::int64_t FrontierNumber() const;
  std::optional<std::int64_t> NextPoll() const;  // epoch seconds, while waiting or blocked
  std::int64_t NewShops() const;
  std::int64_t Requests() const;

 private:
  FollowSettings settings_;
  Clock::time_point steadyStart_;
  double wallStart_ = 0;
  std::function<void(const FollowNews&)> onNews_;
  mutable std::mutex mutex_;
  Frontier frontier_;
};

}  // namespace dt
