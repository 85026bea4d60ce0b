#include "shoppage/shop_page.h"

#include "shoppage/credit_level.h"
#include "text/gbk_text.h"

namespace dt {
namespace {

// Lengths are stepped over as written; a -1 from a search flows into the
// arithmetic unchanged and MidText's bounds decide what comes out, which is
// what pages with missing pieces have always produced.
constexpr std::string_view kShopMarker = "data-value";
constexpr std::string_view kNameMarker = "name";
constexpr int kNameSkip = 7;  // name":"
constexpr std::string_view kAccountElement = "hCard";
constexpr std::string_view kGifSuffix = ".gif";
constexpr std::string_view kNoCredit = "0";
constexpr std::string_view kCreationMarker =
    "\xB4\xB4\xB5\xEA\xCA\xB1\xBC\xE4\xA3\xBA"  // 创店时间：
    "</span>";
constexpr std::string_view kItemCountMarker =
    "\xB1\xA6\xB1\xB4\xCA\xFD\xC1\xBF\xA3\xBA"  // 宝贝数量：
    "</span>";
constexpr int kChineseMarkerSkip = 17;
constexpr std::string_view kListItemEnd = "</li>";

// Real accounts, names and dates are a few dozen bytes; a page whose markers
// run on for megabytes must not turn into megabytes per row and log entry.
constexpr std::size_t kMaxFieldBytes = 64 * 1024;

// The bytes from `start` up to (not including) the first `end` at or after it,
// at most kMaxFieldBytes of them, cut between characters.
std::string CutUntil(std::string_view page, int start, std::string_view end) {
  const int stop = FindText(page, end, start);
  if (start < 1 || start > static_cast<int>(page.size()) || stop - start <= 0) {
    return MidText(page, start, stop - start);
  }
  const std::string_view field =
      page.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(stop - start));
  return std::string(GbkPrefix(field, kMaxFieldBytes));
}

// The level of the first rank image at or after the account's start; a rank
// image standing before the account's element belongs to someone else.
std::string CutCreditLevel(std::string_view page, int accountStart) {
  const int rankAt = FindText(page, kRankImagePrefix, accountStart);
  if (rankAt == -1) return std::string(kNoCredit);
  const int codeStart = rankAt + static_cast<int>(kRankImagePrefix.size());
  const int gifAt = FindText(page, kGifSuffix, rankAt);
  return CreditLevelName(MidText(page, codeStart, gifAt - codeStart));
}

}  // namespace

std::string StripTabsAndBreaks(std::string_view text) {
  return WithoutBytes(text, "\t\n\r");
}

std::optional<ShopPageFields> ParseShopPage(std::string_view page) {
  const int shopAt = FindText(page, kShopMarker);
  if (shopAt == -1) return std::nullopt;

  ShopPageFields fields;
  const int nameStart = FindText(page, kNameMarker, shopAt) + kNameSkip;
  fields.shopName = CutUntil(page, nameStart, "\"");

  const int cardAt = FindText(page, kAccountElement, 1, /*ignoreCase=*/true);
  const int accountStart = FindText(page, ">", cardAt) + 1;
  fields.sellerAccount = CutUntil(page, accountStart, "<");
  if (StripTabsAndBreaks(fields.sellerAccount).empty()) return std::nullopt;

  fields.creditLevel = CutCreditLevel(page, accountStart);

  fields.creationDate =
      CutUntil(page, FindText(page, kCreationMarker) + kChineseMarkerSkip, kListItemEnd);
  fields.itemCount =
      CutUntil(page, FindText(page, kItemCountMarker) + kChineseMarkerSkip, kListItemEnd);
  return fields;
}

}  // namespace dt
