#include "text/gbk_text.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <locale.h>
#include <stdlib.h>

namespace dt {
namespace {

inline bool MatchesAt(std::string_view text, size_t i, std::string_view pattern, bool ignoreCase) {
  if (text.size() - i < pattern.size()) return false;
  if (!ignoreCase) return std::memcmp(text.data() + i, pattern.data(), pattern.size()) == 0;
  // Only ASCII letters fold: the second byte of a double-byte character is
  // compared as it is, even where it looks like a letter (81 61 is not 81 41).
  bool trail = false;
  for (size_t k = 0; k < pattern.size(); ++k) {
    const auto t = static_cast<unsigned char>(text[i + k]);
    const auto p = static_cast<unsigned char>(pattern[k]);
    const bool fold = !trail;
    trail = !trail && IsLeadByte(t);
    if (fold ? FoldAscii(t) != FoldAscii(p) : t != p) return false;
  }
  return true;
}

constexpr std::uint64_t kLowBits = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

// Whether any of the eight bytes of word equals b.
constexpr bool HasByte(std::uint64_t word, unsigned char b) {
  const std::uint64_t x = word ^ (kLowBits * b);
  return ((x - kLowBits) & ~x & kHighBits) != 0;
}

// 0-based offset of the first match at or after the 0-based offset from, or
// npos. The scan treats `from` as a character start.
size_t FindFrom(std::string_view text, std::string_view pattern, size_t from, bool ignoreCase) {
  if (pattern.empty()) return from < text.size() ? from : std::string_view::npos;
  if (pattern.size() > text.size()) return std::string_view::npos;
  const size_t lastStart = text.size() - pattern.size();
  const unsigned char first = static_cast<unsigned char>(pattern[0]);
  const unsigned char firstFolded = FoldAscii(first);
  // The bytes a match can start with: both cases of a letter when case is ignored.
  const unsigned char startA = ignoreCase ? firstFolded : first;
  const unsigned char startB = (ignoreCase && firstFolded >= 'a' && firstFolded <= 'z')
                                   ? static_cast<unsigned char>(firstFolded - ('a' - 'A'))
                                   : startA;
  for (size_t i = from; i <= lastStart; i += CharacterWidth(text, i)) {
    // Pages are mostly ASCII: eight bytes below 0x80 of which none can start
    // a match are eight one-byte characters, stepped over at once.
    while (i + 8 <= text.size() && i <= lastStart) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      if ((word & kHighBits) != 0 || HasByte(word, startA) || HasByte(word, startB)) {
        break;
      }
      i += 8;
    }
    if (i > lastStart) break;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((ignoreCase ? FoldAscii(c) == firstFolded : c == first) &&
        MatchesAt(text, i, pattern, ignoreCase))
      return i;
  }
  return std::string_view::npos;
}

// Full-width digits (A3 B0..B9) and signs (A3 AB "＋", A3 AD "－") become ASCII.
std::string FoldFullWidth(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (CharacterWidth(text, i) == 2) {
      const unsigned char t = static_cast<unsigned char>(text[i + 1]);
      if (c == 0xA3 && t >= 0xB0 && t <= 0xB9) {
        out.push_back(static_cast<char>('0' + (t - 0xB0)));
      } else if (c == 0xA3 && t == 0xAB) {
        out.push_back('+');
      } else if (c == 0xA3 && t == 0xAD) {
        out.push_back('-');
      } else {
        out.append(text.substr(i, 2));
      }
      i += 2;
    } else {
      out.push_back(static_cast<char>(c));
      ++i;
    }
  }
  return out;
}

constexpr bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// strtod with the C locale's number format, whatever locale the program
// runs in (the toolkit sets the user's locale, whose decimal mark may be a
// comma).
double StrtodInCLocale(const char* text) {
#if defined(_WIN32)
  static const _locale_t cLocale = _create_locale(LC_NUMERIC, "C");
  return _strtod_l(text, nullptr, cLocale);
#else
  static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  if (cLocale == static_cast<locale_t>(0)) return std::strtod(text, nullptr);
  return strtod_l(text, nullptr, cLocale);
#endif
}

}  // namespace

int FindText(std::string_view text, std::string_view pattern, int start, bool ignoreCase) {
  if (start < 1) start = 1;
  const size_t from = static_cast<size_t>(start) - 1;
  if (from >= text.size()) return -1;
  // The empty pattern is found at the very beginning of the text once there
  // is any text to look at.
  if (pattern.empty()) return 1;
  const size_t at = FindFrom(text, pattern, from, ignoreCase);
  return at == std::string_view::npos ? -1 : static_cast<int>(at + 1);
}

std::string MidText(std::string_view text, int start, int length) {
  if (start < 1 || length <= 0 || static_cast<size_t>(start) > text.size()) return {};
  return std::string(text.substr(static_cast<size_t>(start) - 1, static_cast<size_t>(length)));
}

std::string LeftText(std::string_view text, int count) {
  if (count <= 0) return {};
  return std::string(text.substr(0, static_cast<size_t>(count)));
}

std::string RightText(std::string_view text, int count) {
  if (count <= 0) return {};
  const size_t n = static_cast<size_t>(count);
  return n >= text.size() ? std::string(text) : std::string(text.substr(text.size() - n));
}

std::vector<std::string> SplitText(std::string_view text, std::string_view delimiter) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  if (delimiter.empty()) {
    pieces.emplace_back(text);
    return pieces;
  }
  size_t from = 0;
  while (from < text.size()) {
    const size_t at = FindFrom(text, delimiter, from, false);
    if (at == std::string_view::npos) {
      pieces.emplace_back(text.substr(from));
      break;
    }
    pieces.emplace_back(text.substr(from, at - from));
    from = at + delimiter.size();
  }
  return pieces;
}

std::string ReplaceText(std::string_view text, std::string_view pattern,
                        std::string_view replacement) {
  if (pattern.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t from = 0;
  while (from < text.size()) {
    const size_t at = FindFrom(text, pattern, from, true);
    if (at == std::string_view::npos) break;
    out.append(text.substr(from, at - from));
    out.append(replacement);
    from = at + pattern.size();
  }
  if (from < text.size()) out.append(text.substr(from));
  return out;
}

std::string TextBefore(std::string_view text, std::string_view separator) {
  if (text.empty() || separator.empty()) return {};
  const size_t at = FindFrom(text, separator, 0, false);
  return at == std::string_view::npos ? std::string() : std::string(text.substr(0, at));
}

std::string TextAfter(std::string_view text, std::string_view separator) {
  if (text.empty() || separator.empty()) return {};
  const size_t at = FindFrom(text, separator, 0, false);
  return at == std::string_view::npos ? std::string()
                                      : std::string(text.substr(at + separator.size()));
}

int ToInteger(std::string_view text) {
  const std::string s = FoldFullWidth(text);
  size_t i = 0;
  while (i < s.size() && IsCSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  long long value = 0;
  for (; i < s.size() && IsDigit(s[i]); ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) {
      value = static_cast<long long>(INT_MAX) + 1;  // saturate; further digits change nothing
    }
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

double ToNumber(std::string_view text) {
  // Read as atof reads a C string: up to the first NUL.
  return StrtodInCLocale(FoldFullWidth(text).c_str());
}

std::string ToText(long long value) {
  return std::to_string(value);
}

int TruncateToInt32(double value) {
  if (std::isnan(value)) return 0;
  const double t = std::trunc(value);
  if (t >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (t <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(t);
}

std::string_view GbkPrefix(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t end = 0;
  while (end < maxBytes) {
    const std::size_t step = IsLeadByte(static_cast<unsigned char>(text[end])) ? 2 : 1;
    if (end + step > maxBytes) break;
    end += step;
  }
  return text.substr(0, end);
}

std::string WithoutBytes(std::string_view text, std::string_view bytes) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (bytes.find(c) == std::string_view::npos) out.push_back(c);
  }
  return out;
}

}  // namespace dt
