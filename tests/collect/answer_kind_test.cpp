#include "collect/answer_kind.h"

#include <gtest/gtest.h>

#include "collect/drought_watch.h"

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
  bool empty = false;  // not one byte of a body
};

constexpr MarketBefore kUp = MarketBefore::Answering;
constexpr MarketBefore kSilent = MarketBefore::Silent;
constexpr Transport kWhole = Transport::Complete;

TEST(ClassifyAnswer, StatusTransportRedirectHostAndWhatCameBefore) {
  using K = AnswerKind;
  using R = Refusal;
  const Case cases[] = {
      // Pages, whatever came before: 2xx with a body, 404 and 410 (even empty).
      {kWhole, 200, kAsked, kUp, K::Page, R::None},
      {kWhole, 299, kAsked, kSilent, K::Page, R::None},
      {kWhole, 404, kAsked, kUp, K::Page, R::None},
      {kWhole, 404, kAsked, kUp, K::Page, R::None, true},
      {kWhole, 410, kAsked, kUp, K::Page, R::None},
      // Every other status is one page's trouble, never a number without a shop.
      {kWhole, 199, kAsked, kUp, K::Trouble, R::None},
      {kWhole, 300, kAsked, kUp, K::Trouble, R::None},
      {kWhole, 302, kAsked, kUp, K::Trouble, R::None},  // a redirect that never ended
      {kWhole, 400, kAsked, kUp, K::Trouble, R::None},
      {kWhole, 501, kAsked, kUp, K::Trouble, R::None},
      {kWhole, 505, kAsked, kUp, K::Trouble, R::None},
      {kWhole, 520, kAsked, kUp, K::Trouble, R::None},
      {kWhole, 526, kAsked, kSilent, K::Trouble, R::None},
      // An empty 2xx is no page: trouble, which a failure streak goes on through.
      {kWhole, 200, kAsked, kUp, K::Trouble, R::None, true},
      {kWhole, 204, kAsked, kUp, K::Trouble, R::None, true},
      // The same host: another scheme, port, path or case is still the shop's own.
      {kWhole, 200, "https://shop42.taobao.com/", kUp, K::Page, R::None},
      {kWhole, 200, "http://SHOP42.taobao.com:80/moved?x=1", kUp, K::Page, R::None},
      // Trouble with this page.
      {kWhole, 500, kAsked, kUp, K::Trouble, R::None},
      {kWhole, 408, kAsked, kUp, K::Trouble, R::None},
      {Transport::Cut, 200, kAsked, kUp, K::Trouble, R::None},
      {Transport::TimedOut, 0, "", kUp, K::Trouble, R::None},
      // Nothing received before the time ran out: as a dropped connection.
      {Transport::TimedOut, 0, "", kUp, K::Trouble, R::None, true},
      {Transport::TimedOut, 0, "", kSilent, K::Refusal, R::Gone, true},
      {Transport::TimedOut, 200, kAsked, kSilent, K::Trouble, R::None},  // part of a page came
      // A dropped connection: one page's trouble while others are read.
      {Transport::NoConnection, 0, "", kUp, K::Trouble, R::None},
      {Transport::NoConnection, 0, "", kSilent, K::Refusal, R::Gone},
      {Transport::NoAnswer, 0, "", kSilent, K::Refusal, R::Gone},
      // Refusals, also when they come cut.
      {kWhole, 429, kAsked, kUp, K::Refusal, R::Busy},
      {kWhole, 503, kAsked, kUp, K::Refusal, R::Busy},
      {kWhole, 403, kAsked, kUp, K::Refusal, R::Denied},
      {kWhole, 451, kAsked, kSilent, K::Refusal, R::Denied},
      // Sent to another host: a sign-in or check page, whatever its status.
      {kWhole, 200, "https://login.taobao.com/member/login.jhtml", kUp, K::Refusal, R::Denied},
      {kWhole, 404, "http://shop43.taobao.com/", kUp, K::Refusal, R::Denied},
      {kWhole, 200, "http://user@login.taobao.com:8080/", kUp, K::Refusal, R::Denied},
      {Transport::Unusable, 0, "", kUp, K::Unusable, R::None},
  };
  for (const Case& c : cases) {
    FetchOutcome outcome;
    outcome.transport = c.transport;
    outcome.status = c.status;
    outcome.finalAddress = c.finalAddress;
    EXPECT_EQ(ClassifyAnswer(outcome, kAsked, c.before, c.empty), (AnswerClass{c.kind, c.refusal}))
        << static_cast<int>(c.transport) << " " << c.status << " " << c.finalAddress << " "
        << (c.before == kSilent ? "silent" : "answering") << (c.empty ? " empty" : "");
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
// before it, or the one given), only after readBefore numbers read; a failed
// number neither counts nor breaks a stretch. Pages finish out of order: the
// run goes back to the lowest number read without a shop since the last shop.
TEST(DroughtWatch, TripsOnePastTheThresholdInNumberOrder) {
  using Seen = DroughtWatch::Seen;
  const struct {
    std::int64_t shops;       // numbers from 0 on, each a shop
    std::int64_t known;       // the longest stretch given at the start
    std::int64_t gap;         // one stretch of this many among the shops
    std::int64_t tripsAfter;  // 0: never within 400 numbers without a shop
  } cases[] = {{60, 0, 0, 31}, {60, 0, 5, 51}, {60, 4, 0, 41}, {10, 0, 0, 40}, {60, 50, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.shops << " " << c.known << " " << c.gap);
    DroughtWatch watch(DroughtRules{30, 10, 50});
    watch.Reset(0, c.known, true);
    std::int64_t n = 0;
    for (; n < c.shops + c.gap; ++n)
      ASSERT_FALSE(watch.Record(n, n < c.gap ? Seen::NoShop : Seen::Shop, n));
    const std::int64_t start = n + 1;
    std::optional<std::int64_t> tripped;
    std::int64_t count = 0;
    for (; !tripped && count < 400; ++count) {
      ASSERT_FALSE(watch.Record(n, Seen::Failed, n));
      tripped = watch.Record(n + 1, Seen::NoShop, n + 1);
      n += 2;
    }
    EXPECT_EQ(tripped.has_value() ? count : 0, c.tripsAfter);
    EXPECT_EQ(tripped.value_or(start), start);
  }
  DroughtWatch watch(DroughtRules{30, 10, 50});
  watch.Reset(0, 0, true);
  for (std::int64_t n = 0; n < 60; ++n) ASSERT_FALSE(watch.Record(n, Seen::Shop, n));
  // 60 read well before the shop 90, 61 just before it (counted later), the
  // rest after it: the run goes back to 61.
  ASSERT_FALSE(watch.Record(60, Seen::NoShop, 60));
  ASSERT_FALSE(watch.Record(90, Seen::Shop, 61 + DroughtWatch::kOutOfOrder));
  ASSERT_FALSE(watch.Record(61, Seen::NoShop, 62));
  std::optional<std::int64_t> at;
  for (std::int64_t n = 62; !at && n < 500; ++n)
    at = n == 90 ? at : watch.Record(n, Seen::NoShop, 100 + n);
  EXPECT_EQ(at, 61);
}

}  // namespace
}  // namespace dt
