// Conversion between GBK bytes and UTF-8, used only where texts cross into the
// widget toolkit. Page bytes never round-trip through this.
#pragma once

#include <string>
#include <string_view>

namespace dt {

// Undecodable bytes (all of them 0x80..0xFF) are kept across the boundary as
// the private use characters kKeptByteBase + byte, U+F780..U+F7FF, which no
// GBK character decodes to.
inline constexpr unsigned kKeptByteBase = 0xF700;

// For display: bytes that do not decode as GBK become U+FFFD; never fails.
std::string GbkToUtf8(std::string_view gbk);

// For what the user edits and the program reads back: a byte that does not
// decode becomes its kept-byte character, so Utf8ToGbk gives the bytes back.
std::string GbkToUtf8Lossless(std::string_view gbk);

// A kept-byte character becomes its byte again; other characters GBK cannot
// represent, and invalid UTF-8, become "?".
std::string Utf8ToGbk(std::string_view utf8);

}  // namespace dt
