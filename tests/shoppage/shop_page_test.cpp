#include "shoppage/shop_page.h"

#include <gtest/gtest.h>

#include <string>

#include "text/gbk_codec.h"

namespace dt {
namespace {

using namespace std::string_literals;

// What a shop's page holds, spelled out here rather than taken from the
// parser's own constants, so a wrong constant shows as a page not understood.
const std::string kCreationMarker = Utf8ToGbk("创店时间：</span>");
const std::string kItemCountMarker = Utf8ToGbk("宝贝数量：</span>");
const std::string kRankImages = "http://pics.taobaocdn.com/newrank/";

const std::string kLine1 = "<div data-value=1 data='{\"name\":\"Tea House\"}'>";
const std::string kLine2 = "<span class=hcard>";
const std::string kLine3 = "\ttea_seller</span>";
const std::string kLine4 = "<li><span>"s + kCreationMarker + "2011-08-20</li>";
const std::string kLine5 = "<li><span>"s + kItemCountMarker + "0</li>";
const std::string kLine6 = "<img src="s + kRankImages + "s_cap_3.gif>";

std::string FullShopPage() {
  return kLine1 + "\n" + kLine2 + "\n" + kLine3 + "\n" + kLine4 + "\n" + kLine5 + "\n" + kLine6;
}

TEST(ParseShopPage, AFullShopPageGivesEveryFieldByteForByte) {
  const std::string page = FullShopPage();
  ASSERT_EQ(page.find("data-value") + 1, 6u);
  ASSERT_EQ(page.find("name") + 1, 27u);
  ASSERT_EQ(page.find("hcard") + 1, 60u);

  const auto fields = ParseShopPage(page);
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->shopName, "Tea House");
  EXPECT_EQ(fields->sellerAccount, "\n\ttea_seller");
  EXPECT_EQ(fields->sellerAccount.size(), 12u);
  EXPECT_EQ(fields->creditLevel, Utf8ToGbk("三皇冠"));
  EXPECT_EQ(fields->creationDate, "2011-08-20");
  EXPECT_EQ(fields->itemCount, "0");
}

TEST(ParseShopPage, PagesWithoutAShop) {
  const struct {
    const char* what;
    std::string page;
  } cases[] = {
      {"empty page", ""},
      {"no data-value", kLine2 + "\n" + kLine3 + "\n" + kLine4},
      {"data-value in other case", "<div DATA-VALUE=1 name=\"x\"><b class=hcard>acc</b>"},
      {"without lines 2 and 3: account is a lone LF",
       kLine1 + "\n" + kLine4 + "\n" + kLine5 + "\n" + kLine6},
      {"account of blanks only", "data-value name=\"n\" <p class=hCard>\t\r\n\t</p>"},
      {"no > after hCard", "data-value name:\"x\" hCard"},
      {"no < after the account start", "data-value name=\"x\" <b class=hCard>account"},
      {"empty account", "data-value <b class=hCard></b>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(ParseShopPage(c.page).has_value());
  }
}

struct FieldCase {
  const char* what;
  std::string page;
  ShopPageFields expected;
};

TEST(ParseShopPage, MissingPiecesFlowThroughThePositionArithmetic) {
  const std::string date = kCreationMarker + "2011-08-20</li>";
  const std::string items = kItemCountMarker + "7</li>";
  const FieldCase cases[] = {
      {"no name after data-value: name runs from byte 6 to the first quote",
       "<!DOCTYPE html PUBLIC \"-//W3C\" data-value <b class=hCard>acc</b>",
       {"TYPE html PUBLIC ", "acc", "0", "", ""}},
      {"no name and no quote from byte 6 on", "<p>data-value hCard>acc<", {"", "acc", "0", "", ""}},
      {"name marker before data-value is not used",
       "<x name=\"early\"> data-value data='{\"name\":\"late\"}' <b class=hcard>a</b>",
       {"late", "a", "0", "", ""}},
      {"no closing quote after the name start",
       "data-value x name\":\"open <i hCard>acc</i>",
       {"", "acc", "0", "", ""}},
      {"hCard absent: account between the first > and the next <",
       "<p>seller</p> data-value name\":\"n\"",
       {"n", "seller", "0", "", ""}},
      {"HCARD matches ignoring case",
       "data-value name\":\"n\" <b class=HCARD>x</b>",
       {"n", "x", "0", "", ""}},
      {"rank image before the account is not seen",
       "data-value name\":\"n\" <img src=" + kRankImages + "s_red_1.gif> <b class=hCard>acc</b>",
       {"n", "acc", "0", "", ""}},
      {"rank code outside the table",
       "data-value name\":\"n\" <b class=hCard>acc</b><img src=" + kRankImages + "s_gold_1.gif>",
       {"n", "acc", "0", "", ""}},
      {"rank image without .gif",
       "data-value name\":\"n\" <b class=hCard>acc</b><img src=" + kRankImages + "s_red_1.png>",
       {"n", "acc", "0", "", ""}},
      {"rank image after the account, then the list items",
       "data-value name\":\"n\" <b class=hCard>acc</b>" + kRankImages + "s_crown_5.gif" + date +
           items,
       {"n", "acc", Utf8ToGbk("五至尊"), "2011-08-20", "7"}},
      {"markers before data-value still count: searched from the beginning",
       date + items + " data-value name\":\"n\" <b class=hCard>acc</b>",
       {"n", "acc", "0", "2011-08-20", "7"}},
      {"empty item count is not 0",
       "data-value name\":\"n\" <b class=hCard>acc</b>" + date + kItemCountMarker + "</li>",
       {"n", "acc", "0", "2011-08-20", ""}},
      {"no </li> after the date start",
       "data-value name\":\"n\" <b class=hCard>acc</b>" + kCreationMarker + "2011",
       {"n", "acc", "0", "", ""}},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.what);
    const auto fields = ParseShopPage(c.page);
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ(fields->shopName, c.expected.shopName);
    EXPECT_EQ(fields->sellerAccount, c.expected.sellerAccount);
    EXPECT_EQ(fields->creditLevel, c.expected.creditLevel);
    EXPECT_EQ(fields->creationDate, c.expected.creationDate);
    EXPECT_EQ(fields->itemCount, c.expected.itemCount);
  }
}

TEST(ParseShopPage, MissingChineseMarkerCutsFromByte16) {
  // Without the marker the value starts at byte 16 (-1 + 17) and runs to the next </li>.
  const std::string page = "0123456789ABCDEFGHIJ</li> data-value name\":\"n\" <b class=hCard>a</b>";
  const auto fields = ParseShopPage(page);
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->creationDate, "FGHIJ");
  EXPECT_EQ(fields->itemCount, "FGHIJ");
}

TEST(ParseShopPage, ChineseNameAndAccountAreCutOnWholeCharacters) {
  // A trail byte in the ASCII range (here 0x3C, "<") belongs to its lead byte
  // and must not end the account.
  const std::string name = Utf8ToGbk("淘宝小店");
  const std::string account = Utf8ToGbk("卖家张三") + "\x81\x3C" + Utf8ToGbk("号");
  const std::string page = "data-value data='{\"name\":\"" + name + "\"}' <b class=hCard>" +
                           account + "</b>" + kCreationMarker + Utf8ToGbk("二〇一一") + "</li>";
  const auto fields = ParseShopPage(page);
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->shopName, name);
  EXPECT_EQ(fields->sellerAccount, account);  // 0x3C after a lead byte is no "<"
  EXPECT_EQ(fields->creationDate, Utf8ToGbk("二〇一一"));
}

TEST(ParseShopPage, TrailByteThatLooksLikeAQuoteDoesNotEndTheName) {
  const std::string name = "ab\x81\x22xy";  // lead byte 81, trail byte 0x22
  const std::string page = "data-value name\":\"" + name + "\" <b class=hCard>acc</b>";
  const auto fields = ParseShopPage(page);
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->shopName, name);
}

// A page whose end markers never come must not turn megabytes into one row:
// each field keeps at most 64 KiB, cut between characters.
TEST(ParseShopPage, RunawayFieldsAreCutBetweenCharacters) {
  const std::string runaway = "a" + std::string(140000, '\xB2');
  const std::string page = "data-value name\":\"" + runaway + "\" <b class=hCard>" + runaway + "<" +
                           kCreationMarker + runaway + "</li>";
  const auto fields = ParseShopPage(page);
  ASSERT_TRUE(fields.has_value());
  // 'a', then 32767 pairs fill 65535 bytes; the next pair would pass the limit.
  const std::string expected = "a" + std::string(65534, '\xB2');
  EXPECT_TRUE(fields->shopName == expected) << fields->shopName.size();
  EXPECT_TRUE(fields->sellerAccount == expected) << fields->sellerAccount.size();
  EXPECT_TRUE(fields->creationDate == expected) << fields->creationDate.size();
}

TEST(StripTabsAndBreaks, RemovesOnlyTabCrLf) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"\t\r\n", ""},
      {"\n\ttea_seller", "tea_seller"},
      {"a b\x0B\x0C"
       "c",
       "a b\x0B\x0C"
       "c"},
      {"x\r\ny\tz", "xyz"},
      {"\xD5\xC5\t\xC8\xFD", "\xD5\xC5\xC8\xFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(StripTabsAndBreaks(c.in), c.out);
}

}  // namespace
}  // namespace dt
