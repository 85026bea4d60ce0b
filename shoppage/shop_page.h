// Reading a shop's facts out of the GBK text of its home page.
//
// No HTML parsing and no decoding: every fact is cut by byte search, starting
// after a known marker and stopping before a known terminator.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dt {

// Start of a rank image's address; the image's file name is its rank code + ".gif".
inline constexpr std::string_view kRankImagePrefix = "http://pics.taobaocdn.com/newrank/";

struct ShopPageFields {
  std::string shopName;       // bytes from the page, unchanged
  std::string sellerAccount;  // may hold TAB, CR and LF bytes as the page carries them
  std::string creditLevel;    // a level name of CreditLevelName, or "0"
  std::string creationDate;
  std::string itemCount;  // the page's text; empty is not "0"
};

// The shop on the page, or nullopt when the page shows none (no "data-value",
// or an account that is blank once TAB, CR and LF are removed). The page is
// expected without NUL bytes; callers cut a body at its first NUL. Stateless.
std::optional<ShopPageFields> ParseShopPage(std::string_view page);

// The text without its TAB (0x09), LF (0x0A) and CR (0x0D) bytes.
std::string StripTabsAndBreaks(std::string_view text);

}  // namespace dt
