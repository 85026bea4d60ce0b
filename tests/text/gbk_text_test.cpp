#include "text/gbk_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

#include "tests/support/case_name.h"

namespace dt {
namespace {

// GBK bytes used below: 中 = D6 D0, 文 = CE C4. Pairs whose trail byte is an
// ASCII delimiter ("\x81^", "\x81&", "\x95\\") are built by hand.
const std::string kZhong = "\xD6\xD0";
const std::string kWen = "\xCE\xC4";

struct FindCase {
  const char* what;
  std::string text;
  std::string pattern;
  int start;
  bool ignoreCase;
  int expected;
};

class FindTextTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindTextTest, Finds) {
  const FindCase& c = GetParam();
  EXPECT_EQ(FindText(c.text, c.pattern, c.start, c.ignoreCase), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindTextTest,
    ::testing::Values(FindCase{"first match", "abcabc", "bc", 1, false, 2},
                      FindCase{"match at or after start", "abcabc", "bc", 3, false, 5},
                      FindCase{"start exactly at match", "abcabc", "bc", 5, false, 5},
                      FindCase{"absent", "abcabc", "x", 1, false, -1},
                      FindCase{"start below 1 counts as 1", "abc", "a", -5, false, 1},
                      FindCase{"start past end", "abc", "a", 4, false, -1},
                      FindCase{"pattern longer than text", "ab", "abc", 1, false, -1},
                      FindCase{"empty pattern with text", "abc", "", 3, false, 1},
                      FindCase{"empty pattern, start below 1", "abc", "", -2, true, 1},
                      FindCase{"empty pattern past end", "abc", "", 4, false, -1},
                      FindCase{"empty text", "", "", 1, false, -1},
                      FindCase{"case matters by default", "hCard", "hcard", 1, false, -1},
                      FindCase{"ascii case folded", "<span class=hcard>", "hCard", 1, true, 13},
                      FindCase{"fold is ascii only", "\xC1\xE1", "\xE1\xE1", 1, true, -1},
                      // 81 61 and 81 41 are two different characters.
                      FindCase{"trail byte never folded", "x\x81\x61", "X\x81\x41", 1, true, -1},
                      FindCase{"letters around a pair still fold",
                               "a\x81\x61"
                               "b",
                               "A\x81\x61"
                               "B",
                               1, true, 1},
                      // Trail byte 0x41 ('A') of a pair is never a match start.
                      FindCase{"pattern not found inside a pair",
                               "\x81\x41"
                               "A",
                               "A", 1, false, 3},
                      FindCase{"trail byte equal to backslash skipped", "\x81\\x", "\\", 1, false,
                               -1},
                      FindCase{"chinese pattern", "ab" + kZhong + kWen, kWen, 1, false, 5},
                      FindCase{"chinese pattern misaligned never matches",
                               "a\xD6" + kZhong + "\xD0", kZhong, 1, false, -1},
                      FindCase{"lone lead byte at the end", "ab\xD6", "\xD6", 1, false, 3}),
    test::CaseName());

TEST(MidText, Slices) {
  EXPECT_EQ(MidText("abcdef", 2, 3), "bcd");
  EXPECT_EQ(MidText("abcdef", 5, 10), "ef");
  EXPECT_EQ(MidText("abcdef", 0, 3), "");
  EXPECT_EQ(MidText("abcdef", 7, 1), "");
  EXPECT_EQ(MidText("abcdef", 6, 1), "f");
  EXPECT_EQ(MidText("abcdef", 2, 0), "");
  EXPECT_EQ(MidText("abcdef", 2, -4), "");
  EXPECT_EQ(MidText(kZhong, 2, 1), "\xD0");  // plain bytes: may cut a pair
}

TEST(LeftRightText, Counts) {
  EXPECT_EQ(LeftText("abc", 2), "ab");
  EXPECT_EQ(LeftText("abc", 0), "");
  EXPECT_EQ(LeftText("abc", -1), "");
  EXPECT_EQ(LeftText("abc", 9), "abc");
  EXPECT_EQ(RightText("abc", 2), "bc");
  EXPECT_EQ(RightText("abc", 0), "");
  EXPECT_EQ(RightText("abc", 3), "abc");
  EXPECT_EQ(RightText("abc", 9), "abc");
}

TEST(SplitText, Pieces) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitText("x&1^y&2^", "^"), (V{"x&1", "y&2"}));
  EXPECT_EQ(SplitText("x&1^^y&2^", "^"), (V{"x&1", "", "y&2"}));
  EXPECT_EQ(SplitText("a^b", "^"), (V{"a", "b"}));
  EXPECT_EQ(SplitText("^", "^"), (V{""}));
  EXPECT_EQ(SplitText("^^", "^"), (V{"", ""}));
  EXPECT_EQ(SplitText("", "^"), V{});
  EXPECT_EQ(SplitText("abc", "^"), (V{"abc"}));
  EXPECT_EQ(SplitText("a--b--", "--"), (V{"a", "b"}));
  // 0x5E as a trail byte is part of a character, not a delimiter.
  EXPECT_EQ(SplitText("\x81^x^y", "^"), (V{"\x81^x", "y"}));
}

TEST(ReplaceText, ReplacesAllIgnoringAsciiCase) {
  EXPECT_EQ(ReplaceText("http:\\\\a\\b", "\\", "/"), "http://a/b");
  EXPECT_EQ(ReplaceText("aXbxc", "x", "-"), "a-b-c");
  EXPECT_EQ(ReplaceText("aaa", "aa", "b"), "ba");
  EXPECT_EQ(ReplaceText("abc", "", "z"), "abc");
  EXPECT_EQ(ReplaceText("", "a", "z"), "");
  // 5C as trail byte of a GBK pair stays.
  EXPECT_EQ(ReplaceText("\x95\\\\", "\\", "/"), "\x95\\/");
  EXPECT_EQ(ReplaceText("\x81\x61\x81\x41", "\x81\x41", "z"), "\x81\x61z");
}

TEST(TextBeforeAfter, FirstSeparator) {
  EXPECT_EQ(TextBefore("x&1&2", "&"), "x");
  EXPECT_EQ(TextAfter("x&1&2", "&"), "1&2");
  EXPECT_EQ(TextBefore("x1", "&"), "");
  EXPECT_EQ(TextAfter("x1", "&"), "");
  EXPECT_EQ(TextBefore("", "&"), "");
  EXPECT_EQ(TextAfter("&", "&"), "");
  EXPECT_EQ(TextBefore("&5", "&"), "");
  EXPECT_EQ(TextAfter("abc&", "&"), "");
  // A trail byte 0x26 ('&') inside a pair is not the separator.
  EXPECT_EQ(TextBefore("\x81&a&b", "&"), "\x81&a");
}

struct NumberCase {
  const char* what;
  std::string text;
  int integer;
  double number;
};

class NumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberTest, Reads) {
  const NumberCase& c = GetParam();
  EXPECT_EQ(ToInteger(c.text), c.integer) << c.what;
  EXPECT_DOUBLE_EQ(ToNumber(c.text), c.number) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NumberTest,
    ::testing::Values(NumberCase{"digits", "67808220", 67808220, 67808220},
                      NumberCase{"empty", "", 0, 0}, NumberCase{"no digits", "abc", 0, 0},
                      NumberCase{"leading blanks and trailing letter", "  42x", 42, 42},
                      NumberCase{"minus", "-17", -17, -17}, NumberCase{"plus", "+5", 5, 5},
                      NumberCase{"digits then letters", "12abc", 12, 12},
                      NumberCase{"fraction: integer stops at the point", "3.9", 3, 3.9},
                      NumberCase{"exponent read by number only", "-2.5e2z", -2, -250},
                      NumberCase{"exponent without digits", "1e", 1, 1},
                      NumberCase{"point first", ".5", 0, 0.5},
                      NumberCase{"blank after the sign", "- 5", 0, 0},
                      NumberCase{"C blanks skipped", "\t\n7", 7, 7},
                      // full-width "１２３" and "－４" fold to ASCII
                      NumberCase{"full-width digits", "\xA3\xB1\xA3\xB2\xA3\xB3", 123, 123},
                      NumberCase{"full-width minus", "\xA3\xAD\xA3\xB4", -4, -4},
                      NumberCase{"full-width sign and digit then an ASCII digit",
                                 "\xA3\xAB\xA3\xB9"
                                 "1",
                                 91, 91},
                      // a full-width blank is not a C blank
                      NumberCase{"full-width blank not skipped",
                                 "\xA1\xA1"
                                 "5",
                                 0, 0},
                      NumberCase{"largest int", "2147483647", INT_MAX, 2147483647.0},
                      // atof reads hexadecimal; atoi stops at the x
                      NumberCase{"hexadecimal", "0x1A", 0, 26},
                      NumberCase{"hexadecimal fraction and exponent", " -0X.8p1", 0, -1},
                      NumberCase{"hexadecimal prefix alone", "0x", 0, 0},
                      NumberCase{"comma ends the number", "1,5", 1, 1},
                      NumberCase{"NUL ends the number",
                                 std::string("7\0"
                                             "9",
                                             3),
                                 7, 7},
                      NumberCase{"smallest int", "-2147483648", INT_MIN, -2147483648.0}),
    test::CaseName());

TEST(ToInteger, SaturatesInsteadOfWrapping) {
  EXPECT_EQ(ToInteger("99999999999999999999"), INT_MAX);
  EXPECT_EQ(ToInteger("-99999999999999999999"), INT_MIN);
  EXPECT_EQ(ToInteger("2147483648"), INT_MAX);
}

// Past the range of a double, atof gives the infinity of the sign (which then
// truncates to the 32-bit limit) and a vanishing value gives 0; the digits
// must not be dropped as if there were none.
TEST(ToNumber, OutOfRangeReadsLikeAtof) {
  const std::string manyNines(400, '9');
  const std::string tiny = "0." + std::string(400, '0') + "1";
  EXPECT_EQ(ToNumber("1e999"), HUGE_VAL);
  EXPECT_EQ(ToNumber("-.888e8999999991"), -HUGE_VAL);
  EXPECT_EQ(ToNumber(manyNines), HUGE_VAL);
  EXPECT_EQ(ToNumber(manyNines + "e-50"), HUGE_VAL);
  EXPECT_EQ(ToNumber("\xA3\xAD\xA3\xB1"
                     "e999"),
            -HUGE_VAL);  // "－１e999"
  EXPECT_EQ(TruncateToInt32(ToNumber("1e999")), INT_MAX);
  EXPECT_EQ(ToNumber("1e-999"), 0.0);
  EXPECT_EQ(ToNumber(tiny), 0.0);
  EXPECT_EQ(ToNumber("0e99999999999999999999"), 0.0);
  EXPECT_EQ(ToNumber("1e-99999999999999999999"), 0.0);
}

// Infinities and NaN read as atof reads them; an int made of them saturates,
// and NaN gives 0.
TEST(ToNumber, InfinityAndNanReadLikeAtof) {
  const struct {
    const char* text;
    double number;  // NaN: a NaN is expected
    int truncated;
  } cases[] = {{"inf", HUGE_VAL, INT_MAX},
               {"-Infinity", -HUGE_VAL, INT_MIN},
               {"\xA3\xADINF", -HUGE_VAL, INT_MIN},  // full-width minus
               {"nan", NAN, 0},
               {"-nan(12)x", NAN, 0},
               {"in", 0, 0},
               {"0x1p40", 1099511627776.0, INT_MAX},
               {"-0x7fffffff.f", -2147483647.9375, -2147483647}};
  for (const auto& c : cases) {
    const double number = ToNumber(c.text);
    if (std::isnan(c.number)) {
      EXPECT_TRUE(std::isnan(number)) << c.text;
    } else {
      EXPECT_EQ(number, c.number) << c.text;
    }
    EXPECT_EQ(TruncateToInt32(number), c.truncated) << c.text;
  }
}

TEST(ToText, DecimalForm) {
  EXPECT_EQ(ToText(0), "0");
  EXPECT_EQ(ToText(-12), "-12");
  EXPECT_EQ(ToText(67808220), "67808220");
}

TEST(TruncateToInt32, TowardZeroAndClamped) {
  EXPECT_EQ(TruncateToInt32(3.9), 3);
  EXPECT_EQ(TruncateToInt32(-3.9), -3);
  EXPECT_EQ(TruncateToInt32(1e30), INT_MAX);
  EXPECT_EQ(TruncateToInt32(-1e30), INT_MIN);
  EXPECT_EQ(TruncateToInt32(0.0 / 0.0 * 0), 0);
}

}  // namespace
}  // namespace dt
