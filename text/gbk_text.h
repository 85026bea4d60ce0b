// GBK byte-string primitives shared by every part of Dovetrail.
//
// Texts are GBK bytes: any byte from 0x80 up opens a two-byte character that
// takes the next byte along. Positions count bytes from 1; -1 says "no match".
// A missing text is simply the empty one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dt {

// True when the byte starts a double-byte GBK character.
constexpr bool IsLeadByte(unsigned char byte) {
  return byte >= 0x80;
}

// ASCII letters lowered; every other byte as it is. Callers fold only bytes
// that start a character: the second byte of a double-byte pair never folds.
constexpr unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Bytes of the character that starts at text[i]: 2 for a lead byte with a
// byte after it, else 1 (a lone lead byte at the very end counts as one).
constexpr std::size_t CharacterWidth(std::string_view text, std::size_t i) {
  return (IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
}

// Position of the first match of pattern at or after start, stepping over
// double-byte characters as units (a match is tried only where a character
// begins). ignoreCase folds ASCII letters only. A start below 1 counts as 1;
// a start past the end gives -1. The empty pattern matches at 1 (not at
// start) as long as start still points into the text; otherwise -1.
int FindText(std::string_view text, std::string_view pattern, int start = 1,
             bool ignoreCase = false);

// Plain byte slices; these may cut a double-byte pair.
std::string MidText(std::string_view text, int start, int length);
std::string LeftText(std::string_view text, int count);
std::string RightText(std::string_view text, int count);

// The pieces the delimiter cuts the text into. Two delimiters in a row yield an
// empty piece; a delimiter at the very end yields none after it; no text, no
// pieces.
std::vector<std::string> SplitText(std::string_view text, std::string_view delimiter);

// Replaces every occurrence of pattern, ignoring ASCII letter case, stepping
// over double-byte pairs.
std::string ReplaceText(std::string_view text, std::string_view pattern,
                        std::string_view replacement);

// What precedes / follows the separator's first match. No match, or nothing to
// search, gives the empty text for both.
std::string TextBefore(std::string_view text, std::string_view separator);
std::string TextAfter(std::string_view text, std::string_view separator);

// Full-width digits and signs are folded to ASCII first; then the text is read
// like C atoi (saturating at the 32-bit limits; no digits gives 0) or exactly
// like C atof in the "C" locale, whatever the program's locale: hexadecimal,
// infinities and NaN included, nothing readable giving 0. ToNumber may thus
// return an infinity or NaN; TruncateToInt32 makes an int of any of them.
int ToInteger(std::string_view text);
double ToNumber(std::string_view text);

// The "%d" form: minus sign for negatives, no padding or grouping.
std::string ToText(long long value);

// A double truncated toward zero and clamped into the signed 32-bit range
// (NaN gives 0), so that any stored number restores to a valid int.
int TruncateToInt32(double value);

// The longest start of text of at most maxBytes bytes that does not split a
// double-byte character.
std::string_view GbkPrefix(std::string_view text, std::size_t maxBytes);

// The text without any of the given bytes (say, "\r\n"). Safe on GBK text for
// control bytes: they never stand inside a double-byte character.
std::string WithoutBytes(std::string_view text, std::string_view bytes);

}  // namespace dt
