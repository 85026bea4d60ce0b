#include "shoppage/credit_level.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "text/gbk_codec.h"

namespace dt {
namespace {

struct LevelCase {
  const char* rankCode;
  const char* nameUtf8;
};

constexpr LevelCase kLevels[] = {
    {"s_red_1", "一心级"},   {"s_red_2", "二心级"},   {"s_red_3", "三心级"},
    {"s_red_4", "四心级"},   {"s_red_5", "五心级"},   {"s_blue_1", "一蓝钻"},
    {"s_blue_2", "二蓝钻"},  {"s_blue_3", "三蓝钻"},  {"s_blue_4", "四蓝钻"},
    {"s_blue_5", "五蓝钻"},  {"s_cap_1", "一皇冠"},   {"s_cap_2", "二皇冠"},
    {"s_cap_3", "三皇冠"},   {"s_cap_4", "四皇冠"},   {"s_cap_5", "五皇冠"},
    {"s_crown_1", "一至尊"}, {"s_crown_2", "二至尊"}, {"s_crown_3", "三至尊"},
    {"s_crown_4", "四至尊"}, {"s_crown_5", "五至尊"},
};

TEST(CreditLevelName, EveryCodeOfTheTableGivesItsGbkName) {
  std::set<std::string> names;
  for (const LevelCase& level : kLevels) {
    SCOPED_TRACE(level.rankCode);
    const std::string name = CreditLevelName(level.rankCode);
    EXPECT_EQ(name, Utf8ToGbk(level.nameUtf8));
    EXPECT_EQ(name.size(), 6u);
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 20u);
}

TEST(CreditLevelName, CodesOutsideTheTableGiveZero) {
  const std::string nearMisses[] = {
      "S_RED_1",
      "s_red_1 ",
      " s_red_1",
      "s_red_6",
      "s_cap_0",
      "",
      "s_crown_0",
      "s_gold_1",
      "s_red_",
      "s_red_10",
      "s_blue1",
      "0",
      std::string("s_red_1\0", 8),
      "s_Cap_3",
  };
  for (const std::string& code : nearMisses) {
    SCOPED_TRACE(code);
    EXPECT_EQ(CreditLevelName(code), "0");
  }
}

}  // namespace
}  // namespace dt
