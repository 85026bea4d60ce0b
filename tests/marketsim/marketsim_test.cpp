#include "tools/marketsim/marketsim.h"

#include <gtest/gtest.h>

#include <algorithm>
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

Options FaultyOptions(std::uint64_t seed) {
  Options options;
  options.seed = seed;
  options.density = 0.6;
  options.faultShare = 0.3;
  options.faultKinds = AllFaults();
  // The parse does not depend on the filler's length beyond a field's limit.
  options.hugeFillerBytes = 100000;
  options.hostileFillerBytes = 100000;
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
    int shops = 0;
    for (int number = 67808220; number < 67808220 + 12000; ++number) {
      const auto truth = TruthFor(options, number);
      ExpectSameShop(ParseShopPage(CutAtNul(ShopPageBody(options, number))), truth, number);
      if (truth) ++shops;
      if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(shops, 5000);
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
  EXPECT_EQ(AllFaults().size(), 14u);
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
}

}  // namespace
}  // namespace dt::marketsim
