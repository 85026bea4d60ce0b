// Conversion between GBK bytes and UTF-8 where texts cross into the widget
// toolkit, and of pages that declare another character set into GBK's
// superset GB18030 before they are read. Page bytes never round-trip through
// this. Decoding follows GB18030, which reads GBK text exactly as GBK does.
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

// A kept-byte character becomes its byte again; every other character has a
// GB18030 form (GBK's own for GBK's characters); invalid UTF-8 becomes "?".
std::string Utf8ToGbk(std::string_view utf8);

// Bytes in the named character set (an iconv name) as GB18030, whose GBK
// characters are GBK's bytes; each undecodable byte becomes U+FFFD. A set
// the converter does not know leaves the bytes as they are.
std::string ToGb18030(std::string_view bytes, std::string_view charset);

}  // namespace dt
