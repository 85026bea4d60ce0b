#include "collect/frontier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace dt {
namespace {

using Seen = Frontier::Seen;
constexpr double kStart = 1.8e9;  // seconds since the epoch

// A marketplace in memory: four shops in ten, numbers given out at `rate` a
// second above `top0`, a stretch it skips, and a time when it refuses (a
// page without a shop for every number).
struct Market {
  std::int64_t top0 = 50'000'000;
  double rate = 1;
  std::int64_t skipFrom = 0, skipWidth = 0;  // reached as the top rises
  double refuseFrom = -1, refuseTo = -1;     // seconds after the start

  static bool Drawn(std::int64_t n) {
    return (static_cast<std::uint64_t>(n) * 2654435761u >> 7) % 10 < 4;
  }
  std::int64_t Top(double t) const {
    std::int64_t top = top0 + static_cast<std::int64_t>(t * rate);
    if (skipWidth > 0 && top >= skipFrom) top += skipWidth;
    return top;
  }
  bool Shop(std::int64_t n, double t) const {
    if (t >= refuseFrom && t < refuseTo) return false;
    if (skipWidth > 0 && n >= skipFrom && n < skipFrom + skipWidth) return false;
    return n <= Top(t) && Drawn(n);
  }
  double Opened(std::int64_t n) const {
    if (n <= top0) return 0;
    if (skipWidth > 0 && n >= skipFrom + skipWidth) n -= skipWidth;
    return static_cast<double>(n - top0) / rate;
  }
};

// Reads the frontier's numbers four at a time, 50 ms each, until `seconds`
// of follow time have passed; every accepted shop's first listing is kept.
struct Driver {
  Market market;
  Frontier frontier;
  double t = 0;                        // seconds after kStart
  double step = 0.05;                  // per four pages
  std::map<std::int64_t, int> listed;  // shop number -> how often the news named it
  std::map<std::int64_t, double> listedAt;
  std::vector<FollowNews> news;
  std::int64_t highestAsked = 0;

  Driver(Market m, std::int64_t from, std::optional<FollowState> saved = {},
         std::chrono::seconds poll = std::chrono::seconds(60))
      : market(m), frontier(from, saved, FollowSettings{poll}, kStart) {}

  void Run(double seconds) {
    const double end = t + seconds;
    while (t < end) {
      std::vector<std::int64_t> batch;
      while (batch.size() < 4) {
        const auto n = frontier.Next(kStart + t);
        if (!n) break;
        batch.push_back(*n);
        highestAsked = std::max(highestAsked, *n);
      }
      if (batch.empty()) {
        t = std::max(t + step, std::min(end, frontier.WakeAt() - kStart));
        continue;
      }
      t += step;
      std::reverse(batch.begin(), batch.end());  // answers out of order
      for (const std::int64_t n : batch) {
        const bool shop = market.Shop(n, t);
        if (shop) frontier.Accepted(n, "s");
        frontier.Record(n, shop ? Seen::Shop : Seen::NoShop, kStart + t);
      }
      for (FollowNews& item : frontier.TakeNews()) {
        for (const std::int64_t n : item.numbers) {
          if (listed[n]++ == 0) listedAt[n] = t;
        }
        news.push_back(std::move(item));
      }
    }
  }
};

TEST(Frontier, FindsTheTopFromFarBelowWithinItsBudget) {
  for (const std::int64_t below : {1000LL, 1'000'000LL, 10'000'000LL}) {
    Market market;
    market.rate = 0;
    Driver d(market, market.top0 - below);
    // Until the stretch below the top has been read and the first wait begins.
    while (d.frontier.CurrentPhase() != Frontier::Phase::Waiting && d.frontier.Requests() < 3000) {
      d.Run(0.05);
    }
    // The highest shop at or below the top.
    std::int64_t top = market.top0;
    while (!Market::Drawn(top)) --top;
    EXPECT_EQ(d.frontier.Top(), top) << below;
    EXPECT_LE(d.frontier.Requests(), 3000) << below;
  }
}

TEST(Frontier, NeverAsksPastTheHighestShopNumber) {
  Market market;
  market.top0 = INT32_MAX - 3;  // shops up to the last numbers there are
  market.rate = 0;
  Driver d(market, market.top0 - 100'000);
  d.Run(600);  // leaps past the last number too, after ten polls found nothing
  std::int64_t top = market.top0;
  while (!Market::Drawn(top)) --top;
  EXPECT_EQ(d.frontier.Top(), top);
  EXPECT_LE(d.highestAsked, INT32_MAX);
}

TEST(Frontier, ListsEveryShopOfARisingTopOnceWithinAPollAndFiveSeconds) {
  for (const int poll : {5, 60}) {
    Market market;
    Driver d(market, market.top0 - 5000, {}, std::chrono::seconds(poll));
    d.Run(120);  // the top found and passed
    const std::int64_t from = d.frontier.Top();
    d.listed.clear();
    const std::int64_t before = d.frontier.Requests();
    d.Run(1800);
    std::int64_t shops = 0;
    for (std::int64_t n = from + 1; n <= market.Top(d.t - poll - 5); ++n) {
      if (!Market::Drawn(n)) continue;
      ++shops;
      ASSERT_EQ(d.listed[n], 1) << n;
      EXPECT_LE(d.listedAt[n] - market.Opened(n), poll + 5) << n;
    }
    for (const auto& [n, times] : d.listed) EXPECT_EQ(times, 1) << n;
    // A poll costs the numbers opened since the last, G and the known shop.
    const double perShop = static_cast<double>(d.frontier.Requests() - before) / shops;
    if (poll == 60) {
      EXPECT_LE(perShop, 6);
    }
  }
}

TEST(Frontier, GapIsTwiceTheWidestNearTheTopAndAtLeastTwenty) {
  Market market;
  Driver d(market, market.top0 - 100);
  d.Run(1500);
  ASSERT_EQ(d.frontier.CurrentPhase(), Frontier::Phase::Waiting);
  // Each shop of the last 1,000 numbers with the gap below it.
  const std::int64_t top = d.frontier.Top();
  std::int64_t widest = 0, previous = 0;
  for (std::int64_t n = top - 1200; n <= top; ++n) {
    if (!Market::Drawn(n)) continue;
    if (previous > 0 && n >= top - 1000) widest = std::max(widest, n - previous);
    previous = n;
  }
  EXPECT_EQ(d.frontier.Gap(), std::max<std::int64_t>(20, 2 * widest));
  FollowState wide = d.frontier.State();
  wide.widestGap = 30;
  EXPECT_EQ(Frontier(1, wide, {}, kStart).Gap(), 60);
  wide.widestGap = 9;
  EXPECT_EQ(Frontier(1, wide, {}, kStart).Gap(), 20);
}

TEST(Frontier, FindsShopsPastASkipWithinElevenPollsAndReadsTheSkipAfterwards) {
  // Growing steps find the numbers past a skip once they span about half
  // of it: 400 a second, 20,000 in ten polls of 5 s.
  Market market;
  market.rate = 400;
  market.skipFrom = market.top0 + 200 * 400;  // reached after 200 s
  market.skipWidth = 20'000;
  Driver d(market, market.top0 - 1000, {}, std::chrono::seconds(5));
  d.step = 0.002;
  d.Run(200);
  const double skipAt = d.t;
  d.Run(11 * 5.5 + 5);
  const std::int64_t firstPast = market.skipFrom + market.skipWidth;
  std::int64_t firstShop = firstPast;
  while (!Market::Drawn(firstShop)) ++firstShop;
  ASSERT_EQ(d.listed.count(firstShop), 1u);
  EXPECT_LE(d.listedAt[firstShop] - skipAt, 11 * 5.5 + 5);
  EXPECT_FALSE(d.frontier.State().skipped.empty());
  d.Run(600);
  EXPECT_TRUE(d.frontier.State().skipped.empty());  // read in the background since
}

TEST(Frontier, BlockWaitsFiveTenTwentyMinutesThenGoesOnWithNothingLost) {
  Market market;
  market.refuseFrom = 600;
  market.refuseTo = 1600;  // tries 5, 15 and 35 minutes after the block: the third reads
  Driver d(market, market.top0 - 1000);
  d.Run(600);
  const std::int64_t from = d.frontier.Top();
  d.listed.clear();
  d.Run(100);
  EXPECT_EQ(d.frontier.CurrentPhase(), Frontier::Phase::Blocked);
  const std::int64_t asked = d.frontier.Requests();
  d.Run(2000);
  EXPECT_EQ(d.frontier.CurrentPhase(), Frontier::Phase::Blocked);
  EXPECT_EQ(d.frontier.Requests() - asked, 2);  // the known shop at 5 and 15 minutes
  d.Run(400);
  EXPECT_NE(d.frontier.CurrentPhase(), Frontier::Phase::Blocked);
  std::vector<FollowNews::Kind> kinds;
  for (const FollowNews& item : d.news) {
    if (item.kind != FollowNews::NewShops) kinds.push_back(item.kind);
  }
  EXPECT_EQ(kinds, (std::vector<FollowNews::Kind>{FollowNews::Blocked, FollowNews::Resumed}));
  for (std::int64_t n = from + 1; n <= market.Top(d.t - 70); ++n) {
    if (Market::Drawn(n)) {
      ASSERT_EQ(d.listed[n], 1) << n;
    }
  }
}

TEST(Frontier, RestartFromTheSavedStateCatchesUpListingNoneTwice) {
  Market market;
  Driver first(market, market.top0 - 1000);
  first.Run(300);
  const auto saved = ParseFollowState(FollowStateText(first.frontier.State()));
  ASSERT_TRUE(saved);
  EXPECT_EQ(*saved, first.frontier.State());
  Driver second(market, 1, saved);
  second.t = first.t + 30;  // down for 30 s
  second.Run(120);
  for (std::int64_t n = saved->frontier + 1; n <= market.Top(second.t - 70); ++n) {
    if (Market::Drawn(n)) {
      EXPECT_EQ(second.listed[n], 1) << n;
    }
  }
  EXPECT_GT(second.listed.begin()->first, saved->frontier);  // none again
  EXPECT_GT(second.frontier.State().frontier, saved->frontier);
}

TEST(FollowStateFile, ReadsBackWhatWasWrittenAndRefusesHostileText) {
  const FollowState state{5000, 12, 1'800'000'060, 4990, {{100, 200}, {300, 300}}};
  EXPECT_EQ(ParseFollowState(FollowStateText(state)), state);
  const std::string head = "dovetrail-follow 1\n";
  const struct {
    std::string text;
    bool read;
  } cases[] = {
      {"", false},
      {"frontier=5\n", false},  // no header
      {head, false},            // no frontier
      {head + "frontier=5\r\ngap=3\n", true},
      {head + "frontier=5\nfrontier=6\n", false},  // a key twice
      {head + "frontier=-5\n", false},
      {head + "frontier=2147483648\n", false},  // beyond 32 bits
      {head + "frontier=2147483647\n", true},
      {head + "frontier=5\nskipped=3-2\n", false},  // a stretch backwards
      {head + "frontier=5\nskipped=3\n", false},
      {head + "frontier=5\nlater=x\n", true},  // a key of a later version
      {head + "frontier=5 \n", false},
      {head + std::string(kMaxFollowStateFileBytes, '\n'), false},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseFollowState(c.text).has_value(), c.read) << c.text;
  std::string many = head + "frontier=900\n";
  for (std::size_t i = 0; i <= kMostSkippedStretches; ++i) many += "skipped=1-2\n";
  EXPECT_FALSE(ParseFollowState(many));  // one stretch more than is ever written
  // Stretches above the frontier and a known shop above it are not believed.
  const auto odd = ParseFollowState(head + "frontier=50\nknown=60\nskipped=40-70\n");
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->knownShop, 0);
  EXPECT_TRUE(odd->skipped.empty());
}

}  // namespace
}  // namespace dt
