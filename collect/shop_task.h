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

// The status line of a shop log that cannot be written; the file's path follows.
inline constexpr std::string_view kShopLogFailedMessage =
    "\xB5\xEA\xC6\xCC\xC8\xD5\xD6\xBE\xCE\xB4\xC4\xDC\xD0\xB4\xC8\xEB ";  // 店铺日志未能写入

// The status line that says where the shop log goes when not beside the program.
inline constexpr std::string_view kShopLogMovedMessage =
    "\xB5\xEA\xC6\xCC\xC8\xD5\xD6\xBE\xD0\xB4\xD4\xDA ";  // 店铺日志写在

// The prefix of a filter note; the shop number follows.
inline constexpr std::string_view kFilterNotePrefix = "\xB9\xFD\xC2\xCB ";  // 过滤

// The shop's home page: its host name carries the shop number.
std::string ShopAddress(ShopNumber number);

// "零宝贝" keeps only shops whose item count is exactly "0"; "零信用" only
// shops whose credit level is exactly "0".
bool ShopRejected(const ShopPageFields& fields, bool zeroItemsOnly, bool zeroCreditOnly);

// A log value longer than this could not be read back by any reader of the
// file's format (their read buffer holds 10240 bytes with the terminator).
inline constexpr std::size_t kMaxShopLogValueBytes = 10239;

// "(" + creation date + ")" + seller account, cut between characters to
// kMaxShopLogValueBytes. CR and LF bytes of the account are left out here
// only, so one accepted shop is always one line of the log.
std::string ShopLogValue(const ShopPageFields& fields);

// The page as the parser reads it: the body up to its first NUL byte.
std::string_view PageText(std::string_view body);

}  // namespace dt
