#include "collect/answer_kind.h"

#include <cctype>

#include "shoppage/shop_page.h"

namespace dt {

std::string HostOf(std::string_view address) {
  const std::size_t scheme = address.find("://");
  if (scheme == std::string_view::npos) return {};
  std::string_view rest = address.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos)
    rest.remove_prefix(at + 1);
  if (const std::size_t colon = rest.rfind(':');
      colon != std::string_view::npos && rest.find(']', colon) == std::string_view::npos)
    rest = rest.substr(0, colon);
  std::string host(rest);
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return host;
}

AnswerClass ClassifyAnswer(const FetchOutcome& outcome, std::string_view askedAddress,
                           MarketBefore before, bool emptyBody) {
  // A request that never reached the marketplace tells nothing about it; one
  // refused at the door, or left without a byte until its time ran out,
  // tells about this page only while others are read.
  const AnswerClass silent = before == MarketBefore::Silent
                                 ? AnswerClass{AnswerKind::Refusal, Refusal::Gone}
                                 : AnswerClass{AnswerKind::Trouble, Refusal::None};
  switch (outcome.transport) {
    case Transport::Unusable:
      return {AnswerKind::Unusable, Refusal::None};
    case Transport::NoConnection:
    case Transport::NoAnswer:
      return silent;
    case Transport::TimedOut:
      if (outcome.status == 0 && emptyBody) return silent;
      break;
    case Transport::Cut:
    case Transport::Complete:
      break;
  }
  // Wherever the answer came from, a sign-in or check on another host is the
  // marketplace turning the client away, not a page of the shop.
  if (!outcome.finalAddress.empty() && HostOf(outcome.finalAddress) != HostOf(askedAddress))
    return {AnswerKind::Refusal, Refusal::Denied};
  switch (outcome.status) {
    case 429:
    case 503:
      return {AnswerKind::Refusal, Refusal::Busy};
    case 401:
    case 403:
    case 407:
    case 451:
      return {AnswerKind::Refusal, Refusal::Denied};
    default:
      break;
  }
  if (outcome.transport != Transport::Complete) return {AnswerKind::Trouble, Refusal::None};
  // Only these say what the shop's page is: "no such shop", or a page to
  // read. Any other status, a redirect that did not end and an empty answer
  // are the marketplace failing at this page, never a number without a shop.
  const bool page = outcome.status == 404 || outcome.status == 410 ||
                    (outcome.status >= 200 && outcome.status < 300 && !emptyBody);
  return {page ? AnswerKind::Page : AnswerKind::Trouble, Refusal::None};
}

bool HoldsWholeShop(std::string_view page) {
  if (!ParseShopPage(page)) return false;
  // The fields the parser cuts, each with the marker that ends it. The name
  // and the account stand before the list of facts; the creation date and
  // the item count close it in either order, so a page whose two facts both
  // end lost nothing of its shop to a cut.
  constexpr std::string_view kFields[][2] = {
      {"data-value", "\""},
      {"\xB4\xB4\xB5\xEA\xCA\xB1\xBC\xE4\xA3\xBA</span>", "</li>"},  // 创店时间：
      {"\xB1\xA6\xB1\xB4\xCA\xFD\xC1\xBF\xA3\xBA</span>", "</li>"},  // 宝贝数量：
  };
  for (const auto& field : kFields) {
    const std::size_t at = page.find(field[0]);
    if (at == std::string_view::npos) return false;
    if (page.find(field[1], at + field[0].size()) == std::string_view::npos) return false;
  }
  return true;
}

}  // namespace dt
