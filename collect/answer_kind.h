// What one fetch's answer says: a page to read, trouble with that one page,
// or the marketplace refusing the run (or gone). Decided here alone, so the
// pace, the request slots and the collector never disagree about an answer.
#pragma once

#include <string>
#include <string_view>

#include "shoppage/fetch_page.h"

namespace dt {

enum class AnswerKind {
  Page,      // read it: a 2xx with a body (a shop or a page without one), a 404 or 410
  Trouble,   // this page failed (any other status, an empty 2xx, a cut, a time-out,
             // a redirect that never ended): try it later
  Refusal,   // the marketplace asks for less, refuses or is gone: drives the pace
  Unusable,  // the request itself could not be made: another try cannot help
};

// What a refusal was, for the status line and for the pace.
enum class Refusal {
  None,
  Busy,    // 429, 503
  Denied,  // 401, 403, 407, 451, or sent to a host that is not the shop's own
  Gone,    // no connection, or nothing received, with other numbers failing too
};

struct AnswerClass {
  AnswerKind kind = AnswerKind::Page;
  Refusal refusal = Refusal::None;
  bool operator==(const AnswerClass&) const = default;
};

// What the marketplace did just before this answer, across numbers.
enum class MarketBefore {
  Answering,  // a page was read since fewer than three numbers last failed
  Silent,     // at least two other numbers failed since the last page was read
};

// The host of an address, lower-cased, without user, port, path or query;
// empty when the address has no "scheme://".
std::string HostOf(std::string_view address);

// The class of an answer to a request for askedAddress. outcome.finalAddress
// names where redirects ended (empty: where it was asked); emptyBody: not one
// byte of a body arrived.
AnswerClass ClassifyAnswer(const FetchOutcome& outcome, std::string_view askedAddress,
                           MarketBefore before, bool emptyBody);

// Whether a page holds a whole shop: every field the parser reads found
// together with the marker that ends it, so a cut after it took nothing.
bool HoldsWholeShop(std::string_view page);

}  // namespace dt
