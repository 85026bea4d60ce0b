#include "collect/answer_kind.h"

#include <gtest/gtest.h>

#include "collect/drought_watch.h"
#include "collect/retry_queue.h"

namespace dt {
namespace {

constexpr const char* kAsked = "http://shop42.taobao.com/";

struct Case {
  Transport transport;
  long status;
  const char* finalAddress;
  MarketBefore before;
  AnswerKind kind;
  Refusal refusal;
};

constexpr MarketBefore kUp = MarketBefore::Answering;
constexpr MarketBefore kSilent = MarketBefore::Silent;
constexpr Transport kWhole = Transport::Complete;

TEST(ClassifyAnswer, StatusTransportRedirectHostAndWhatCameBefore) {
  using K = AnswerKind;
  using R = Refusal;
  const Case cases[] = {
      // Pages, whatever came before.
      {kWhole, 200, kAsked, kUp, K::Page, R::None},
      {kWhole, 200, kAsked, kSilent, K::Page, R::None},
      {kWhole, 404, kAsked, kUp, K::Page, R::None},
      {kWhole, 501, kAsked, kUp, K::Page, R::None},
      {kWhole, 200, "", kUp, K::Page, R::None},  // no final address: where it was asked
      // The same host: another scheme, port, path or case is still the shop's own.
      {kWhole, 200, "https://shop42.taobao.com/", kUp, K::Page, R::None},
      {kWhole, 200, "http://SHOP42.taobao.com:80/moved?x=1", kUp, K::Page, R::None},
      // Trouble with this page.
      {kWhole, 500, kAsked, kUp, K::Trouble, R::None},
      {kWhole, 502, kAsked, kSilent, K::Trouble, R::None},
      {kWhole, 504, kAsked, kUp, K::Trouble, R::None},
      {kWhole, 408, kAsked, kUp, K::Trouble, R::None},
      {Transport::Cut, 200, kAsked, kUp, K::Trouble, R::None},
      {Transport::Cut, 200, kAsked, kSilent, K::Trouble, R::None},
      {Transport::TimedOut, 0, "", kUp, K::Trouble, R::None},
      {Transport::TimedOut, 200, kAsked, kSilent, K::Trouble, R::None},
      // A dropped connection: one page's trouble while others are read.
      {Transport::NoConnection, 0, "", kUp, K::Trouble, R::None},
      {Transport::NoAnswer, 0, "", kUp, K::Trouble, R::None},
      {Transport::NoConnection, 0, "", kSilent, K::Refusal, R::Gone},
      {Transport::NoAnswer, 0, "", kSilent, K::Refusal, R::Gone},
      // Refusals, also when they come cut.
      {kWhole, 429, kAsked, kUp, K::Refusal, R::Busy},
      {kWhole, 503, kAsked, kUp, K::Refusal, R::Busy},
      {Transport::Cut, 503, kAsked, kUp, K::Refusal, R::Busy},
      {kWhole, 401, kAsked, kUp, K::Refusal, R::Denied},
      {kWhole, 403, kAsked, kUp, K::Refusal, R::Denied},
      {kWhole, 407, kAsked, kUp, K::Refusal, R::Denied},
      {kWhole, 451, kAsked, kSilent, K::Refusal, R::Denied},
      {kWhole, 402, kAsked, kUp, K::Page, R::None},
      // Sent to another host: a sign-in or check page, whatever its status.
      {kWhole, 200, "https://login.taobao.com/member/login.jhtml", kUp, K::Refusal, R::Denied},
      {kWhole, 200, "http://sec.taobao.com/query.htm", kUp, K::Refusal, R::Denied},
      {kWhole, 404, "http://shop43.taobao.com/", kUp, K::Refusal, R::Denied},
      {kWhole, 200, "http://user@login.taobao.com:8080/", kUp, K::Refusal, R::Denied},
      {Transport::Unusable, 0, "", kUp, K::Unusable, R::None},
      {Transport::Unusable, 0, "", kSilent, K::Unusable, R::None},
  };
  for (const Case& c : cases) {
    FetchOutcome outcome;
    outcome.transport = c.transport;
    outcome.status = c.status;
    outcome.finalAddress = c.finalAddress;
    EXPECT_EQ(ClassifyAnswer(outcome, kAsked, c.before), (AnswerClass{c.kind, c.refusal}))
        << static_cast<int>(c.transport) << " " << c.status << " " << c.finalAddress << " "
        << (c.before == kSilent ? "silent" : "answering");
  }
}

TEST(ClassifyAnswer, AWholeShopIsOneWhoseLastFieldEnded) {
  const std::string page =
      "<a data-value=\"1\" name\":\"Shop\">x</a><b class=hCard>acct</b>"
      "<li><span>\xB4\xB4\xB5\xEA\xCA\xB1\xBC\xE4\xA3\xBA</span>2010-01-01</li>"
      "<li><span>\xB1\xA6\xB1\xB4\xCA\xFD\xC1\xBF\xA3\xBA</span>12</li></ul>";
  EXPECT_TRUE(HoldsWholeShop(page));
  EXPECT_TRUE(HoldsWholeShop(page.substr(0, page.size() - 5)));   // cut after the last "</li>"
  EXPECT_FALSE(HoldsWholeShop(page.substr(0, page.size() - 6)));  // its "</li>" cut
  EXPECT_FALSE(HoldsWholeShop(page.substr(0, page.find("<li>"))));
  EXPECT_FALSE(HoldsWholeShop("<html>no shop</html>"));
}

// A stretch trips the rule one number past max(least, times x the longest
// before it), only after readBefore numbers read; failed numbers neither
// count nor break a stretch; numbers are taken in order whatever the order
// they finish in.
TEST(DroughtWatch, TripsPastTheThresholdInNumberOrder) {
  using Seen = DroughtWatch::Seen;
  const DroughtRules rules{30, 10, 50};
  const struct {
    const char* what;
    std::int64_t shopsFirst;  // numbers from 1000 on, each a shop
    std::int64_t known;       // the longest stretch given at the start
    std::int64_t longestGap;  // one stretch of this many before the drought
    std::int64_t tripsAfter;  // 0: never within 400 no-shop numbers
  } cases[] = {
      {"the least applies", 60, 0, 0, 31},
      {"ten times the longest stretch seen", 60, 0, 5, 51},
      {"ten times the stretch given at the start", 60, 4, 0, 41},
      {"not before the numbers read", 10, 0, 0, 39},  // 11 shops + 39 = 50 read
      {"a long stretch given never trips", 60, 50, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DroughtWatch watch(rules);
    watch.Reset(1000, c.known, true);
    std::int64_t n = 1000;
    for (std::int64_t i = 0; i < c.shopsFirst; ++i) ASSERT_FALSE(watch.Record(n++, Seen::Shop));
    for (std::int64_t i = 0; i < c.longestGap; ++i) ASSERT_FALSE(watch.Record(n++, Seen::NoShop));
    ASSERT_FALSE(watch.Record(n++, Seen::Shop));
    const std::int64_t start = n;
    std::optional<std::int64_t> tripped;
    std::int64_t count = 0;
    while (!tripped && count < 400) {
      ASSERT_FALSE(watch.Record(n++, Seen::Failed));  // neither counts nor breaks it
      tripped = watch.Record(n++, Seen::NoShop);
      ++count;
    }
    if (c.tripsAfter == 0) {
      EXPECT_FALSE(tripped);
      continue;
    }
    EXPECT_EQ(count, c.tripsAfter);
    EXPECT_EQ(tripped, start + 1);
    EXPECT_EQ(watch.Longest(), c.tripsAfter);
  }

  // Out of order: nothing counts past a number not yet finished.
  DroughtWatch watch(rules);
  watch.Reset(0, 0, true);
  for (std::int64_t n = 1; n <= 100; ++n) ASSERT_FALSE(watch.Record(n, Seen::NoShop));
  EXPECT_EQ(watch.Longest(), 0);
  EXPECT_EQ(watch.Record(0, Seen::Shop), 1);  // 100 in a row from 1, taken now
  // A shop read before the numbers below it: those read since go again.
  watch.Reset(0, 0, true);
  for (std::int64_t n = 0; n < 60; ++n) ASSERT_FALSE(watch.Record(n, Seen::Shop));
  ASSERT_FALSE(watch.Record(80, Seen::Shop));
  ASSERT_FALSE(watch.Record(59 + 2, Seen::NoShop));  // 61 before 60
  for (std::int64_t n = 60; n < 80; ++n) ASSERT_FALSE(watch.Record(n, Seen::NoShop));
  std::optional<std::int64_t> at;
  for (std::int64_t n = 81; !at && n < 400; ++n) at = watch.Record(n, Seen::NoShop);
  EXPECT_EQ(at, 60);
  // Off (a run over the failed list): never.
  watch.Reset(0, 0, false);
  for (std::int64_t n = 0; n <= 500; ++n) ASSERT_FALSE(watch.Record(n, Seen::NoShop));
}

// The earliest due entry goes first (the lower number among equals); a
// number pushed again keeps one entry.
TEST(RetryQueue, TakesDueEntriesInTheirOrder) {
  using namespace std::chrono_literals;
  const RetryQueue::Clock::time_point t{};
  RetryQueue queue;
  EXPECT_EQ(queue.Earliest(), std::nullopt);
  queue.Push({7, 2, t + 3s});
  queue.Push({5, 2, t + 1s});
  queue.Push({9, 3, t + 1s});
  queue.Push({7, 3, t + 2s});  // replaces 7's entry
  EXPECT_EQ(queue.Size(), 3u);
  EXPECT_EQ(queue.Earliest(), t + 1s);
  EXPECT_EQ(queue.TakeDue(t + 1s - 1ns), std::nullopt);
  EXPECT_EQ(queue.TakeDue(t + 1s), (RetryQueue::Entry{5, 2, t + 1s}));
  EXPECT_EQ(queue.TakeDue(t + 5s), (RetryQueue::Entry{9, 3, t + 1s}));
  EXPECT_EQ(queue.TakeDue(t + 5s), (RetryQueue::Entry{7, 3, t + 2s}));
  EXPECT_TRUE(queue.Empty());
}

}  // namespace
}  // namespace dt
