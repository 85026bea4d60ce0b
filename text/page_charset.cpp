#include "text/page_charset.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "text/gbk_codec.h"

namespace dt {
namespace {

char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool IsNameByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ||
         c == ':';
}

// The value after "charset" at `at` in lowered text: blanks, "=", blanks, an
// optional quote, then the name; empty when the word is not followed so.
std::string NameAfterCharset(std::string_view lowered, std::size_t at) {
  std::size_t i = at + 7;
  while (i < lowered.size() && (lowered[i] == ' ' || lowered[i] == '\t')) ++i;
  if (i >= lowered.size() || lowered[i] != '=') return {};
  ++i;
  while (i < lowered.size() && (lowered[i] == ' ' || lowered[i] == '\t')) ++i;
  if (i < lowered.size() && (lowered[i] == '"' || lowered[i] == '\'')) ++i;
  const std::size_t start = i;
  while (i < lowered.size() && i - start < 40 && IsNameByte(lowered[i])) ++i;
  return std::string(lowered.substr(start, i - start));
}

// The first "charset=name" in the text, lowered.
std::string FirstCharset(std::string_view text) {
  std::string lowered(text);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(), Lower);
  for (std::size_t at = lowered.find("charset"); at != std::string::npos;
       at = lowered.find("charset", at + 1)) {
    std::string name = NameAfterCharset(lowered, at);
    if (!name.empty()) return name;
  }
  return {};
}

// The declaration inside a <meta ...> tag of the page's head.
std::string MetaCharset(std::string_view head) {
  std::string lowered(head);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(), Lower);
  for (std::size_t at = lowered.find("<meta"); at != std::string::npos;
       at = lowered.find("<meta", at + 1)) {
    const std::size_t end = lowered.find('>', at);
    std::string name = FirstCharset(std::string_view(lowered).substr(
        at, end == std::string::npos ? std::string::npos : end - at));
    if (!name.empty()) return name;
  }
  return {};
}

}  // namespace

std::string DeclaredCharset(std::string_view contentType, std::string_view body) {
  std::string name = FirstCharset(contentType);
  if (!name.empty()) return name;
  return MetaCharset(body.substr(0, std::min(body.size(), kCharsetSniffBytes)));
}

bool ReadsAsGbk(std::string_view charset) {
  constexpr std::array<std::string_view, 8> kNames = {"gbk",   "gb2312", "gb18030",     "cp936",
                                                      "x-gbk", "euc-cn", "windows-936", "ms936"};
  return std::find(kNames.begin(), kNames.end(), charset) != kNames.end();
}

std::string PageInGbk(std::string body, std::string_view contentType) {
  const std::string charset = DeclaredCharset(contentType, body);
  if (charset.empty() || ReadsAsGbk(charset)) return body;
  std::string_view bytes(body);
  // A byte-order mark is no part of the text.
  if ((charset == "utf-8" || charset == "utf8") && bytes.starts_with("\xEF\xBB\xBF"))
    bytes.remove_prefix(3);
  return ToGb18030(bytes, charset);
}

}  // namespace dt
