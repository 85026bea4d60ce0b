#include "shoppage/credit_level.h"

#include <array>

namespace dt {
namespace {

struct CreditLevel {
  std::string_view rankCode;
  std::string_view name;  // GBK
};

// Four tiers of five: hearts, blue diamonds, crowns (s_cap_), supreme crowns (s_crown_).
constexpr std::array<CreditLevel, 20> kCreditLevels{{
    {"s_red_1", "\xD2\xBB\xD0\xC4\xBC\xB6"},    // 一心级
    {"s_red_2", "\xB6\xFE\xD0\xC4\xBC\xB6"},    // 二心级
    {"s_red_3", "\xC8\xFD\xD0\xC4\xBC\xB6"},    // 三心级
    {"s_red_4", "\xCB\xC4\xD0\xC4\xBC\xB6"},    // 四心级
    {"s_red_5", "\xCE\xE5\xD0\xC4\xBC\xB6"},    // 五心级
    {"s_blue_1", "\xD2\xBB\xC0\xB6\xD7\xEA"},   // 一蓝钻
    {"s_blue_2", "\xB6\xFE\xC0\xB6\xD7\xEA"},   // 二蓝钻
    {"s_blue_3", "\xC8\xFD\xC0\xB6\xD7\xEA"},   // 三蓝钻
    {"s_blue_4", "\xCB\xC4\xC0\xB6\xD7\xEA"},   // 四蓝钻
    {"s_blue_5", "\xCE\xE5\xC0\xB6\xD7\xEA"},   // 五蓝钻
    {"s_cap_1", "\xD2\xBB\xBB\xCA\xB9\xDA"},    // 一皇冠
    {"s_cap_2", "\xB6\xFE\xBB\xCA\xB9\xDA"},    // 二皇冠
    {"s_cap_3", "\xC8\xFD\xBB\xCA\xB9\xDA"},    // 三皇冠
    {"s_cap_4", "\xCB\xC4\xBB\xCA\xB9\xDA"},    // 四皇冠
    {"s_cap_5", "\xCE\xE5\xBB\xCA\xB9\xDA"},    // 五皇冠
    {"s_crown_1", "\xD2\xBB\xD6\xC1\xD7\xF0"},  // 一至尊
    {"s_crown_2", "\xB6\xFE\xD6\xC1\xD7\xF0"},  // 二至尊
    {"s_crown_3", "\xC8\xFD\xD6\xC1\xD7\xF0"},  // 三至尊
    {"s_crown_4", "\xCB\xC4\xD6\xC1\xD7\xF0"},  // 四至尊
    {"s_crown_5", "\xCE\xE5\xD6\xC1\xD7\xF0"},  // 五至尊
}};

}  // namespace

std::string CreditLevelName(std::string_view rankCode) {
  for (const CreditLevel& level : kCreditLevels) {
    if (level.rankCode == rankCode) return std::string(level.name);
  }
  return "0";
}

}  // namespace dt
