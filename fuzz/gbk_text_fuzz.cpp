// The GBK text primitives on arbitrary bytes: the input is split into a text,
// a pattern and a few options.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "text/gbk_text.h"

namespace {

unsigned char Fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool SameByte(std::string_view text, std::size_t i, std::string_view pattern, std::size_t k,
              bool fold) {
  const auto a = static_cast<unsigned char>(text[i]);
  const auto b = static_cast<unsigned char>(pattern[k]);
  return fold ? Fold(a) == Fold(b) : a == b;
}

// Reads the text as characters from `at` on: a case-blind match folds the
// first byte of each character only; the second byte of a double-byte
// character is compared as it is, even where it looks like a letter.
bool MatchesAt(std::string_view text, std::size_t at, std::string_view pattern, bool ignoreCase) {
  if (at + pattern.size() > text.size()) return false;
  for (std::size_t k = 0; k < pattern.size();) {
    const std::size_t i = at + k;
    const bool pair = dt::IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size();
    if (!SameByte(text, i, pattern, k, ignoreCase)) return false;
    if (pair && k + 1 < pattern.size() && !SameByte(text, i + 1, pattern, k + 1, false))
      return false;
    k += pair ? 2 : 1;
  }
  return true;
}

// The character starts of text met when reading from byte `from` on: a lead
// byte takes the byte after it along, except as the very last byte.
std::vector<std::size_t> CharStarts(std::string_view text, std::size_t from) {
  std::vector<std::size_t> starts;
  for (std::size_t i = from; i < text.size();) {
    starts.push_back(i);
    i += (dt::IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
  }
  return starts;
}

void CheckFind(std::string_view text, std::string_view pattern, int start, bool ignoreCase) {
  const int found = dt::FindText(text, pattern, start, ignoreCase);
  const std::size_t from = start < 1 ? 0 : static_cast<std::size_t>(start) - 1;
  int expected = -1;
  if (from < text.size() && pattern.empty()) {
    expected = 1;  // the empty pattern stands at the beginning of any text
  } else if (from < text.size()) {
    for (const std::size_t at : CharStarts(text, from)) {
      if (MatchesAt(text, at, pattern, ignoreCase)) {
        expected = static_cast<int>(at) + 1;
        break;
      }
    }
  }
  DT_FUZZ_CHECK(found == expected);
}

std::string Join(const std::vector<std::string>& pieces, std::string_view delimiter) {
  std::string joined;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) joined.append(delimiter);
    joined.append(pieces[i]);
  }
  return joined;
}

void CheckSplit(std::string_view text, std::string_view delimiter) {
  const std::vector<std::string> pieces = dt::SplitText(text, delimiter);
  if (text.empty()) {
    DT_FUZZ_CHECK(pieces.empty());
    return;
  }
  DT_FUZZ_CHECK(!pieces.empty());
  const std::string joined = Join(pieces, delimiter);
  // Joined back, the pieces give the text, less a final delimiter.
  DT_FUZZ_CHECK(joined == text || (!delimiter.empty() && joined + std::string(delimiter) == text));
  for (const std::string& piece : pieces) {
    if (!delimiter.empty()) DT_FUZZ_CHECK(dt::FindText(piece, delimiter) == -1);
  }
}

void CheckReplace(std::string_view text, std::string_view pattern, std::string_view replacement) {
  const std::string replaced = dt::ReplaceText(text, pattern, replacement);
  if (pattern.empty()) {
    DT_FUZZ_CHECK(replaced == text);
    return;
  }
  // Every case-blind match, left to right and not overlapping, is replaced.
  std::string expected;
  std::size_t from = 0;
  while (from < text.size()) {
    const int at = dt::FindText(text, pattern, static_cast<int>(from) + 1, true);
    if (at == -1) break;
    const std::size_t begin = static_cast<std::size_t>(at) - 1;
    expected.append(text.substr(from, begin - from)).append(replacement);
    from = begin + pattern.size();
  }
  if (from < text.size()) expected.append(text.substr(from));
  DT_FUZZ_CHECK(replaced == expected);
}

void CheckBeforeAfter(std::string_view text, std::string_view separator) {
  const std::string before = dt::TextBefore(text, separator);
  const std::string after = dt::TextAfter(text, separator);
  const int at = (text.empty() || separator.empty()) ? -1 : dt::FindText(text, separator);
  if (at == -1) {
    DT_FUZZ_CHECK(before.empty() && after.empty());
    return;
  }
  DT_FUZZ_CHECK(before == text.substr(0, static_cast<std::size_t>(at) - 1));
  DT_FUZZ_CHECK(before + std::string(separator) + after == text);
}

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// ASCII text has nothing to fold, so the C library (in the "C" locale, where
// the harness runs) reads it the same way.
void CheckNumbers(std::string_view text) {
  const int integer = dt::ToInteger(text);
  const double number = dt::ToNumber(text);
  if (!IsAscii(text)) return;
  const std::string s(text);  // cut at a NUL, as for the C functions
  errno = 0;
  const long long wide = std::strtoll(s.c_str(), nullptr, 10);
  const long long clamped = wide > INT_MAX ? INT_MAX : (wide < INT_MIN ? INT_MIN : wide);
  DT_FUZZ_CHECK(integer == clamped);

  const double c = std::strtod(s.c_str(), nullptr);
  DT_FUZZ_CHECK(number == c || (std::isnan(number) && std::isnan(c)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int start = in.ConsumeIntegralInRange<int>(-2, 80);
  const bool ignoreCase = in.ConsumeBool();
  const std::string pattern = in.ConsumeRandomLengthString(16);
  const std::string replacement = in.ConsumeRandomLengthString(8);
  const std::string text = in.ConsumeRemainingBytesAsString();

  CheckFind(text, pattern, start, ignoreCase);
  CheckFind(text, pattern, 1, !ignoreCase);
  CheckSplit(text, pattern);
  CheckReplace(text, pattern, replacement);
  CheckBeforeAfter(text, pattern);
  CheckNumbers(text);
  CheckNumbers(pattern);
  return 0;
}
