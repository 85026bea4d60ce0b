// Conversion between GBK bytes and UTF-8, used only where texts cross into the
// widget toolkit. Page bytes never round-trip through this.
#pragma once

#include <string>
#include <string_view>

namespace dt {

// Bytes that do not decode as GBK become U+FFFD; never fails.
std::string GbkToUtf8(std::string_view gbk);

// Characters GBK cannot represent, and invalid UTF-8, become "?".
std::string Utf8ToGbk(std::string_view utf8);

}  // namespace dt
