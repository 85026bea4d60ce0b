#include "tools/marketsim/marketsim.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <string>

#include "shoppage/shop_page.h"
#include "text/gbk_codec.h"

namespace dt::marketsim {
namespace {

std::string CutAtNul(const std::string& body) {
  return body.substr(0, body.find('\0'));
}

// iconv from one set to another; a byte that does not convert is skipped.
std::string Iconv(const std::string& in, const char* to, const char* from) {
  const iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "iconv_open failed";
  std::string out;
  char* src = const_cast<char*>(in.data());
  std::size_t left = in.size();
  char buffer[4096];
  while (left > 0) {
    char* dst = buffer;
    std::size_t room = sizeof buffer;
    const std::size_t rc = iconv(cd, &src, &left, &dst, &room);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
      ++src;
      --left;
    }
  }
  iconv_close(cd);
  return out;
}

constexpr std::string_view kUtf8Meta = "<meta charset=\"utf-8\">";

// What a sound collector reads: a page declared UTF-8 near its top is
// converted to GB18030, GBK text and all; the others are GBK as they are.
std::string AsCollectorReadsIt(const std::string& body) {
  if (body.substr(0, 1024).find(kUtf8Meta) == std::string::npos) return body;
  return Iconv(body, "GB18030", "UTF-8");
}

bool HasFourByteGb18030(const std::string& text) {
  for (std::size_t i = 0; i + 3 < text.size(); ++i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    if (b(0) >= 0x81 && b(1) >= 0x30 && b(1) <= 0x39 && b(2) >= 0x81 && b(3) >= 0x30 &&
        b(3) <= 0x39)
      return true;
  }
  return false;
}

Options FaultyOptions(std::uint64_t seed) {
  Options options;
  options.seed = seed;
  options.density = 0.6;
  options.faultShare = 0.3;
  options.faultKinds = AllFaults();
  // The parse does not depend on the filler's length beyond a field's limit.
  options.hugeFillerBytes = 100000;
  options.hostileFillerBytes = 100000;
  options.utf8Share = 0.3;
  return options;
}

void ExpectSameShop(const std::optional<ShopPageFields>& parsed,
                    const std::optional<TruthShop>& truth, int number) {
  ASSERT_EQ(parsed.has_value(), truth.has_value()) << "shop " << number;
  if (!truth) return;
  EXPECT_EQ(parsed->sellerAccount, truth->sellerAccount) << "shop " << number;
  EXPECT_EQ(parsed->shopName, truth->shopName) << "shop " << number;
  EXPECT_EQ(parsed->creationDate, truth->creationDate) << "shop " << number;
  EXPECT_EQ(parsed->creditLevel, truth->creditLevel) << "shop " << number;
  EXPECT_EQ(parsed->itemCount, truth->itemCount) << "shop " << number;
  EXPECT_EQ(truth->shopAddress, ShopAddress(number));
  EXPECT_EQ(truth->number, number);
}

// The pages and the truth must describe the same shops, for every kind of page
// and fault: the parser reading a body agrees with the shops the simulator says it shows.
TEST(MarketSim, ParsedPagesAgreeWithTheTruthOverTwelveThousandNumbers) {
  for (const std::uint64_t seed : {1u, 77u}) {
    const Options options = FaultyOptions(seed);
    int shops = 0, beyondGbk = 0;
    for (int number = 67808220; number < 67808220 + 12000; ++number) {
      const auto truth = TruthFor(options, number);
      ExpectSameShop(ParseShopPage(CutAtNul(AsCollectorReadsIt(ShopPageBody(options, number)))),
                     truth, number);
      if (truth) ++shops;
      if (truth && HasFourByteGb18030(truth->shopName)) ++beyondGbk;
      if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(shops, 5000);
    EXPECT_GT(beyondGbk, 300);  // names with characters GBK lacks
  }
}

TEST(MarketSim, SameSeedSamePagesOtherSeedOtherShops) {
  const Options a = FaultyOptions(5), b = FaultyOptions(5), c = FaultyOptions(6);
  int differing = 0;
  for (int number = 0; number < 300; ++number) {
    EXPECT_EQ(ShopPageBody(a, number), ShopPageBody(b, number));
    EXPECT_EQ(FaultFor(a, number), FaultFor(b, number));
    if (ShopPageBody(a, number) != ShopPageBody(c, number)) ++differing;
  }
  EXPECT_GT(differing, 250);
  EXPECT_EQ(Truth(a, 0, 299), Truth(b, 0, 299));
}

TEST(MarketSim, FaultChoiceFollowsShareKindsAndExplicitNumbers) {
  Options options;
  options.faultShare = 0.25;
  options.faultKinds = {Fault::NotFound, Fault::Stall, Fault::InvalidGbk};
  options.faultAt = {{42, Fault::HugeBody}, {43, Fault::None}};
  std::map<Fault, int> seen;
  for (int number = 0; number < 20000; ++number) ++seen[FaultFor(options, number)];
  EXPECT_NEAR(seen[Fault::None], 15000, 400);
  for (Fault kind : options.faultKinds) EXPECT_NEAR(seen[kind], 5000 / 3, 250);
  EXPECT_EQ(FaultFor(options, 42), Fault::HugeBody);
  EXPECT_EQ(FaultFor(options, 43), Fault::None);
  EXPECT_EQ(seen.size(), 5u);  // None, the three kinds, and the explicit HugeBody

  Options none;
  none.faultKinds = AllFaults();  // a share of 0 gives no faults
  for (int number = 0; number < 1000; ++number) EXPECT_EQ(FaultFor(none, number), Fault::None);
}

// A UTF-8 page is its GBK twin converted, declaring utf-8 where the GBK page
// declares gbk; the numbers that get one are a share drawn from the seed.
TEST(MarketSim, Utf8PagesAreTheGbkPagesConvertedAndDeclared) {
  Options utf8 = FaultyOptions(3);
  utf8.utf8Share = 0.5;
  Options gbk = utf8;
  gbk.utf8Share = 0;
  constexpr std::string_view kGbkMeta =
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\" />";
  int inUtf8 = 0;
  for (int number = 0; number < 2000; ++number) {
    SCOPED_TRACE(number);
    const std::string body = ShopPageBody(utf8, number);
    std::string twin = ShopPageBody(gbk, number);
    const Fault fault = FaultFor(utf8, number);
    if (!ServedInUtf8(utf8, number)) {
      EXPECT_EQ(body, twin);
      continue;
    }
    ++inUtf8;
    EXPECT_NE(fault, Fault::InvalidGbk);
    EXPECT_NE(fault, Fault::NulBytes);
    EXPECT_NE(fault, Fault::HugeBody);
    EXPECT_NE(fault, Fault::HostileOverlap);
    if (const std::size_t at = twin.find(kGbkMeta); at != std::string::npos) {
      twin.replace(at, kGbkMeta.size(), kUtf8Meta);
    } else if (const std::size_t head = twin.find("<head>"); head != std::string::npos) {
      twin.insert(head + 6, kUtf8Meta);  // a page without a declaration gets one
    }
    if (twin.find("<head>") != std::string::npos) {
      EXPECT_LT(body.find(kUtf8Meta), 1024 - kUtf8Meta.size());
    }
    if (fault == Fault::ResetMidBody || fault == Fault::Stall) continue;  // cut elsewhere
    // Names beyond GBK are checked through the collector's reading above.
    const auto truth = TruthFor(utf8, number);
    if (truth && HasFourByteGb18030(truth->shopName)) continue;
    EXPECT_EQ(body, Iconv(twin, "UTF-8", "GBK"));
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_NEAR(inUtf8, 900, 120);  // half of the numbers, less the GBK-only faults
}

// Each attempt at a number draws on its own, reproducibly from the seed, and
// busy and dropped attempts are drawn independently.
TEST(MarketSim, BusyAndDroppedAttemptsAreDrawnPerAttempt) {
  Options options;
  options.seed = 11;
  options.busyShare = 0.2;
  options.dropShare = 0.1;
  const Options same = options;
  Options other = options;
  other.seed = 12;
  int busy = 0, dropped = 0, busyTwice = 0, busyAndDropped = 0, otherSeedDiffers = 0;
  for (int number = 0; number < 5000; ++number) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(BusyAt(options, number, attempt), BusyAt(same, number, attempt));
      EXPECT_EQ(DroppedAt(options, number, attempt), DroppedAt(same, number, attempt));
      busy += BusyAt(options, number, attempt);
      dropped += DroppedAt(options, number, attempt);
      busyAndDropped += BusyAt(options, number, attempt) && DroppedAt(options, number, attempt);
      otherSeedDiffers += BusyAt(options, number, attempt) != BusyAt(other, number, attempt);
    }
    busyTwice += BusyAt(options, number, 0) && BusyAt(options, number, 1);
  }
  EXPECT_NEAR(busy, 2000, 150);
  EXPECT_NEAR(dropped, 1000, 120);
  EXPECT_NEAR(busyTwice, 200, 60);       // a retry draws afresh
  EXPECT_NEAR(busyAndDropped, 200, 60);  // the two draws are independent
  EXPECT_GT(otherSeedDiffers, 2500);
}

TEST(MarketSim, ShopsCoverTheFactsARunMustHandle) {
  Options options;
  options.density = 0.5;
  const auto shops = Truth(options, 1, 10000);
  EXPECT_NEAR(static_cast<double>(shops.size()), 5000, 300);

  std::set<std::string> levels;
  int zeroItems = 0, zeroCredit = 0, breaksInAccount = 0, chineseNames = 0, asciiNames = 0;
  for (const TruthShop& shop : shops) {
    levels.insert(shop.creditLevel);
    if (shop.itemCount == "0") ++zeroItems;
    if (shop.creditLevel == "0") ++zeroCredit;
    if (shop.sellerAccount.find_first_of("\t\n") != std::string::npos) ++breaksInAccount;
    const bool ascii = std::all_of(shop.shopName.begin(), shop.shopName.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    (ascii ? asciiNames : chineseNames)++;
  }
  EXPECT_EQ(levels.size(), 21u);  // all twenty levels and "0"
  EXPECT_TRUE(levels.count(Utf8ToGbk("五至尊")));
  EXPECT_GT(zeroItems, 2000);
  EXPECT_GT(zeroCredit, 1500);
  EXPECT_GT(breaksInAccount, 1000);
  EXPECT_GT(chineseNames, 1000);
  EXPECT_GT(asciiNames, 500);
}

TEST(MarketSim, ContentFaultsShapeTheShopTheyKeep) {
  Options options;
  options.density = 0;  // only the fault numbers have shops
  options.faultAt = {
      {1, Fault::InvalidGbk},     {2, Fault::UnknownRank}, {3, Fault::ControlBytesInAccount},
      {4, Fault::EmptyItemCount}, {5, Fault::NulBytes},    {6, Fault::Redirect},
      {7, Fault::NotFound},       {8, Fault::Refuse},      {9, Fault::HugeBody}};
  options.hugeFillerBytes = 5000;
  const auto invalid = TruthFor(options, 1);
  ASSERT_TRUE(invalid);
  EXPECT_NE(GbkToUtf8(invalid->shopName).find("\xEF\xBF\xBD"), std::string::npos);
  ASSERT_TRUE(TruthFor(options, 2));
  EXPECT_EQ(TruthFor(options, 2)->creditLevel, "0");
  EXPECT_NE(ShopPageBody(options, 2).find("http://pics.taobaocdn.com/newrank/"), std::string::npos);
  ASSERT_TRUE(TruthFor(options, 3));
  EXPECT_NE(TruthFor(options, 3)->sellerAccount.find("\r\n"), std::string::npos);
  EXPECT_NE(TruthFor(options, 3)->sellerAccount.find('\t'), std::string::npos);
  ASSERT_TRUE(TruthFor(options, 4));
  EXPECT_EQ(TruthFor(options, 4)->itemCount, "");

  const std::string nul = ShopPageBody(options, 5);
  EXPECT_LT(nul.find('\0'), nul.find("data-value"));
  EXPECT_FALSE(TruthFor(options, 5));
  EXPECT_TRUE(TruthFor(options, 6));
  EXPECT_FALSE(TruthFor(options, 7));
  EXPECT_EQ(ShopPageBody(options, 8), "");
  EXPECT_TRUE(TruthFor(options, 9));
  EXPECT_GE(ShopPageBody(options, 9).size(), 5000u);
  EXPECT_FALSE(TruthFor(options, 10));  // no shop and no fault
  EXPECT_EQ(ShopPageBody(options, 10).find("data-value"), std::string::npos);
}

TEST(MarketSim, FaultNamesRoundTrip) {
  for (Fault fault : AllFaults()) EXPECT_EQ(ParseFault(FaultName(fault)), fault);
  EXPECT_EQ(ParseFault("none"), Fault::None);
  EXPECT_FALSE(ParseFault("Stall"));
  EXPECT_FALSE(ParseFault(""));
  EXPECT_EQ(AllFaults().size(), 15u);
}

TEST(MarketSim, TruthTextEscapesControlsAndStaysOnOneLinePerShop) {
  TruthShop shop;
  shop.number = -7;
  shop.sellerAccount = "\n\ta\\b\r";
  shop.shopName = Utf8ToGbk("茶\"馆");
  shop.shopAddress = ShopAddress(-7);
  shop.creationDate = "2011-08-20";
  shop.creditLevel = Utf8ToGbk("一心级");
  shop.itemCount = "0";
  EXPECT_EQ(TruthLines({shop}), "-7\t\\n\\ta\\\\b\\r\t" + shop.shopName +
                                    "\thttp://shop-7.taobao.com/\t2011-08-20\t" + shop.creditLevel +
                                    "\t0\n");
  EXPECT_EQ(TruthJson({shop}),
            "[\n{\"number\":-7,\"sellerAccount\":\"\\u000a\\u0009a\\\\b\\u000d\","
            "\"shopName\":\"\\u8336\\\"\\u9986\",\"shopAddress\":\"http://shop-7.taobao.com/\","
            "\"creationDate\":\"2011-08-20\",\"creditLevel\":\"\\u4e00\\u5fc3\\u7ea7\","
            "\"itemCount\":\"0\"}\n]\n");
  EXPECT_EQ(TruthJson({}), "[\n]\n");

  // Characters GBK lacks stand in a name as GB18030 and leave as surrogate
  // pairs; GBK text around them keeps its place.
  shop.sellerAccount = "a";
  shop.shopName = "\xB2\xE8\x94\x39\xBB\x35x\x95\x34\xB2\x35";  // 茶🍵x𠮷
  const std::string json = TruthJson({shop});
  EXPECT_NE(json.find("\"shopName\":\"\\u8336\\ud83c\\udf75x\\ud842\\udfb7\""), std::string::npos)
      << json;
  EXPECT_EQ(TruthLines({shop}).find(shop.shopName), 5u);
}

}  // namespace
}  // namespace dt::marketsim
