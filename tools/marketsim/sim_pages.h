// How the simulator answers one shop number; shared by the truth functions
// and the HTTP server so both describe the very same bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tools/marketsim/marketsim.h"

namespace dt::marketsim::detail {

struct Answer {
  int status = 200;
  std::string body;             // the full body, filler excluded
  std::size_t fillerBytes = 0;  // filler streamed after the body
  char fillerByte = 0;          // the filler is this byte repeated; 0: an HTML pattern
  std::string tail;             // sent after the filler
  // Bytes of the body sent before the connection drops; body.size() = all.
  std::size_t sentBytes = 0;
  bool dropAfterSent = false;      // the connection drops after sentBytes (reset or stall)
  std::size_t announcedExtra = 0;  // Content-Length says this much more than is sent
  bool stallFirst = false;         // wait stallMs before dropping
  bool refuse = false;             // close without any response
  bool utf8 = false;               // the body is UTF-8 and declared so
  std::string location;            // redirect target path, for 302
};

Answer AnswerFor(const Options& options, int number);

// count bytes of the filler from offset on.
std::string FillerOf(const Answer& answer, std::size_t offset, std::size_t count);

// The page served at /moved for a redirected number.
std::string RedirectedPage(const Options& options, int number);

std::string NotFoundPage();
// The page of a number without a shop.
std::string EmptyNumberPage(const Options& options, int number);
// Small GBK pages for the network's answers: a rate limit (429), a client
// refused for good (429) and a busy marketplace (503).
std::string TooManyRequestsPage();
std::string DeniedPage();
std::string BusyPage();
// The block's other forms: a 403 page, a sign-in page, a verification page.
std::string ForbiddenPage();
std::string SignInPage();
std::string VerifyPage();

// in converted from the character set `from` to `to` by iconv; nullopt when
// the set is unknown or in does not convert completely.
std::optional<std::string> Convert(std::string_view in, const char* to, const char* from);

// Filler of the given length: markup without any of the parser's markers and
// without NUL bytes; bytes [offset, offset + length) of an endless pattern.
std::string Filler(std::size_t offset, std::size_t length);

}  // namespace dt::marketsim::detail
