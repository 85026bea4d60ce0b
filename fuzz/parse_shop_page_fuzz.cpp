// A shop's home page as it comes off the network: any bytes at all.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "shoppage/credit_level.h"
#include "shoppage/shop_page.h"
#include "text/gbk_text.h"

namespace {

bool IsBreakOrTab(char c) {
  return c == '\t' || c == '\n' || c == '\r';
}

// A field is a cut of the page that stops before the first end delimiter, so
// it is a piece of the page and holds no delimiter where a character begins.
void CheckCut(std::string_view page, const std::string& field, std::string_view end) {
  DT_FUZZ_CHECK(field.size() <= page.size());
  DT_FUZZ_CHECK(page.find(field) != std::string_view::npos);
  DT_FUZZ_CHECK(dt::FindText(field, end) == -1);
}

// Every level name is one of the 20 names, or the "no credit" text.
bool IsLevelName(const std::string& level) {
  static const char* const kTiers[] = {"red", "blue", "cap", "crown"};
  if (level == "0") return true;
  for (const char* tier : kTiers) {
    for (int n = 1; n <= 5; ++n) {
      if (dt::CreditLevelName(std::string("s_") + tier + "_" + std::to_string(n)) == level)
        return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view page(reinterpret_cast<const char*>(data), size);

  const std::string stripped = dt::StripTabsAndBreaks(page);
  std::size_t kept = 0;
  for (const char c : page) kept += IsBreakOrTab(c) ? 0 : 1;
  DT_FUZZ_CHECK(stripped.size() == kept);
  for (const char c : stripped) DT_FUZZ_CHECK(!IsBreakOrTab(c));
  DT_FUZZ_CHECK(dt::StripTabsAndBreaks(stripped) == stripped);

  // A rank code is compared whole: anything that is not one of the codes is "0".
  DT_FUZZ_CHECK(IsLevelName(dt::CreditLevelName(page)));
  DT_FUZZ_CHECK(IsLevelName(dt::CreditLevelName(page.substr(0, 12))));

  const auto fields = dt::ParseShopPage(page);
  if (!fields) return 0;
  DT_FUZZ_CHECK(page.find("data-value") != std::string_view::npos);
  CheckCut(page, fields->shopName, "\"");
  CheckCut(page, fields->sellerAccount, "<");
  DT_FUZZ_CHECK(!dt::StripTabsAndBreaks(fields->sellerAccount).empty());
  CheckCut(page, fields->creationDate, "</li>");
  CheckCut(page, fields->itemCount, "</li>");
  DT_FUZZ_CHECK(IsLevelName(fields->creditLevel));
  DT_FUZZ_CHECK(fields->creditLevel == "0" ||
                page.find(dt::kRankImagePrefix) != std::string_view::npos);

  // Stateless: the same page gives the same shop.
  const auto again = dt::ParseShopPage(page);
  DT_FUZZ_CHECK(
      again && again->shopName == fields->shopName &&
      again->sellerAccount == fields->sellerAccount && again->creditLevel == fields->creditLevel &&
      again->creationDate == fields->creationDate && again->itemCount == fields->itemCount);
  return 0;
}
