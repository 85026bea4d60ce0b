// How the simulator answers one shop number; shared by the truth functions
// and the HTTP server so both describe the very same bytes.
#pragma once

#include <cstddef>
#include <string>

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
  bool dropAfterSent = false;  // the connection drops after sentBytes (reset or stall)
  bool stallFirst = false;     // wait stallMs before dropping
  bool refuse = false;         // close without any response
  std::string location;        // redirect target path, for 302
};

Answer AnswerFor(const Options& options, int number);

// count bytes of the filler from offset on.
std::string FillerOf(const Answer& answer, std::size_t offset, std::size_t count);

// The page served at /moved for a redirected number.
std::string RedirectedPage(const Options& options, int number);

std::string NotFoundPage();

// Filler of the given length: markup without any of the parser's markers and
// without NUL bytes; bytes [offset, offset + length) of an endless pattern.
std::string Filler(std::size_t offset, std::size_t length);

}  // namespace dt::marketsim::detail
