// The work for one shop number: address, fetch, parse, filter, then either a
// filter note or a new row plus a shop log entry.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "collect/collection_run.h"
#include "shoppage/shop_page.h"

namespace dt {

// The shop log's one section.
inline constexpr std::string_view kShopLogSection =
    "\xD0\xC2\xBF\xAA\xB5\xEA\xC6\xCC\xCD\xFA\xCD\xFA";  // 新开店铺旺旺

// The shop log's file name, beside the program (a file-system name, UTF-8).
inline constexpr std::string_view kShopLogFileName = "店铺信息.ini";

// The prefix of a filter note; the shop number follows.
inline constexpr std::string_view kFilterNotePrefix = "\xB9\xFD\xC2\xCB ";  // 过滤

// The shop's home page: its host name carries the shop number.
std::string ShopAddress(ShopNumber number);

// "零宝贝" keeps only shops whose item count is exactly "0"; "零信用" only
// shops whose credit level is exactly "0".
bool ShopRejected(const ShopPageFields& fields, bool zeroItemsOnly, bool zeroCreditOnly);

// "(" + creation date + ")" + seller account. CR and LF bytes of the account
// are left out here only, so one accepted shop is always one line of the log.
std::string ShopLogValue(const ShopPageFields& fields);

// The page as the parser reads it: the body up to its first NUL byte.
std::string_view PageText(std::string_view body);

}  // namespace dt
