#include "collect/shop_task.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <string_view>

namespace dt {
namespace {

using namespace std::string_view_literals;

const std::string kOneHeart = "\xD2\xBB\xD0\xC4\xBC\xB6";  // 一心级
const std::string kFullWidthZero = "\xA3\xB0";             // ０

TEST(ShopTask, AddressCarriesTheNumberAsPlainDecimalText) {
  const struct {
    ShopNumber number;
    const char* address;
  } cases[] = {
      {67808220, "http://shop67808220.taobao.com/"},
      {0, "http://shop0.taobao.com/"},
      {7, "http://shop7.taobao.com/"},
      {-5, "http://shop-5.taobao.com/"},
      {INT_MAX, "http://shop2147483647.taobao.com/"},
      {INT_MIN, "http://shop-2147483648.taobao.com/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.number);
    const std::string address = ShopAddress(c.number);
    EXPECT_EQ(address, c.address);
    EXPECT_EQ(address.find('\\'), std::string::npos);
  }
}

TEST(ShopTask, FiltersCompareItemCountAndCreditAsExactBytes) {
  const struct {
    std::string items, credit;
    bool zeroItems, zeroCredit, rejected;
  } cases[] = {
      // Both boxes clear: every shop stays, whatever it holds.
      {"12", kOneHeart, false, false, false},
      {"", "", false, false, false},
      // 零宝贝 alone.
      {"0", kOneHeart, true, false, false},
      {"12", "0", true, false, true},
      {"", "0", true, false, true},  // an empty count is not "0"
      {"00", "0", true, false, true},
      {" 0", "0", true, false, true},
      {"0 ", "0", true, false, true},
      {kFullWidthZero, "0", true, false, true},
      // 零信用 alone.
      {"12", "0", false, true, false},
      {"0", kOneHeart, false, true, true},
      {"0", "", false, true, true},
      {"0", "00", false, true, true},
      // Both: only shops with neither items nor credit.
      {"0", "0", true, true, false},
      {"1", "0", true, true, true},
      {"0", kOneHeart, true, true, true},
      {"1", kOneHeart, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("items '" + c.items + "' credit '" + c.credit + "' filters " +
                 std::to_string(c.zeroItems) + std::to_string(c.zeroCredit));
    ShopPageFields fields;
    fields.itemCount = c.items;
    fields.creditLevel = c.credit;
    EXPECT_EQ(ShopRejected(fields, c.zeroItems, c.zeroCredit), c.rejected);
  }
}

TEST(ShopTask, LogValueDropsOnlyLineBreaksOfTheAccount) {
  const struct {
    std::string date, account, value;
  } cases[] = {
      {"2009-03-01", "tea_seller", "(2009-03-01)tea_seller"},
      {"2009-03-01", "\n\ttea_seller", "(2009-03-01)\ttea_seller"},
      {"2009-03-01", "\ttea\r\n_seller\r\n", "(2009-03-01)\ttea_seller"},
      {"2009-03-01", "\r\r\n\n", "(2009-03-01)"},
      {"", "", "()"},
      {"", " a b ", "() a b "},
      // GBK pairs pass whole; CR/LF never stand inside one.
      {"2011-12-31", "\xB2\xE8\xC9\xCC\n", "(2011-12-31)\xB2\xE8\xC9\xCC"},
      // The date is taken as the page gave it, line breaks and all.
      {"2009\n", "x", "(2009\n)x"},
      // Longer than a reader can read back: cut to 10239 bytes between characters.
      {"d", std::string(10236, 'a') + "\xB2\xE8", "(d)" + std::string(10236, 'a')},
      {"d", std::string(10234, 'a') + "\xB2\xE8z", "(d)" + std::string(10234, 'a') + "\xB2\xE8"},
      {"d", std::string(50000, 'a'), "(d)" + std::string(10236, 'a')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.account.substr(0, 40));
    ShopPageFields fields;
    fields.creationDate = c.date;
    fields.sellerAccount = c.account;
    fields.shopName = "name\r\n";  // never part of the value
    const std::string value = ShopLogValue(fields);
    EXPECT_TRUE(value == c.value) << value.size() << " bytes: " << value.substr(0, 40);
  }
}

TEST(ShopTask, PageTextEndsBeforeTheFirstNul) {
  const struct {
    std::string_view body, page;
  } cases[] = {
      {""sv, ""sv},
      {"<html>data-value"sv, "<html>data-value"sv},
      {"\0data-value"sv, ""sv},
      {"<html>\0data-value"sv, "<html>"sv},
      {"a\0b\0c"sv, "a"sv},
      {"abc\0"sv, "abc"sv},
      {"\xB2\xE8\0\xC9\xCC"sv, "\xB2\xE8"sv},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PageText(c.body), c.page) << c.body.size() << " bytes";
  }
}

}  // namespace
}  // namespace dt
