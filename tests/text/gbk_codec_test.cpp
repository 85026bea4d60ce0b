#include "text/gbk_codec.h"

#include <gtest/gtest.h>

namespace dt {
namespace {

TEST(GbkCodec, RoundTripsChinese) {
  const std::string gbk = "\xB9\xFD\xC2\xCB 67808220";  // 过滤 67808220
  EXPECT_EQ(GbkToUtf8(gbk), "过滤 67808220");
  EXPECT_EQ(Utf8ToGbk("过滤 67808220"), gbk);
  EXPECT_EQ(Utf8ToGbk("创店时间："), "\xB4\xB4\xB5\xEA\xCA\xB1\xBC\xE4\xA3\xBA");
}

TEST(GbkCodec, InvalidBytesBecomeReplacementCharacter) {
  // 0xFF is never valid; a lead byte at the end is a cut sequence.
  EXPECT_EQ(GbkToUtf8("a\xFF"
                      "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(GbkToUtf8("ab\xD6"), "ab\xEF\xBF\xBD");
  EXPECT_EQ(GbkToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

// What an edit box shows must give its bytes back, whatever they are.
TEST(GbkCodec, LosslessConversionKeepsUndecodableBytes) {
  const struct {
    std::string gbk;
    std::string utf8;
  } cases[] = {
      {"\xFF\xFE", "\uF7FF\uF7FE"},
      {"a\xFFz", "a\uF7FFz"},            // 0x80 alone is the euro sign
      {"\xD6\xD0\xD6", "\u4E2D\uF7D6"},  // 中, then a lead byte cut at the end
      {"\x81 x", "\uF781 x"},            // a lead byte before a byte no pair takes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GbkToUtf8Lossless(c.gbk), c.utf8);
    EXPECT_EQ(Utf8ToGbk(c.utf8), c.gbk);
  }
  // Every byte and every pair comes back as it was: no GBK character decodes
  // to a kept-byte character.
  for (int first = 0; first < 256; ++first) {
    const std::string one(1, static_cast<char>(first));
    ASSERT_EQ(Utf8ToGbk(GbkToUtf8Lossless(one)), one) << first;
    for (int second = 0; second < 256; ++second) {
      const std::string two = one + static_cast<char>(second);
      ASSERT_EQ(Utf8ToGbk(GbkToUtf8Lossless(two)), two) << first << " " << second;
    }
  }
}

TEST(GbkCodec, UnrepresentableCharactersBecomeOneQuestionMark) {
  EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80"
                      "b"),
            "a?b");  // emoji
  EXPECT_EQ(Utf8ToGbk("a\xC3"
                      "b"),
            "a?b");  // broken UTF-8
}

TEST(GbkCodec, LargeTextConverts) {
  std::string gbk;
  for (int i = 0; i < 100000; ++i)
    gbk +=
        "\xD6\xD0"
        "a";
  const std::string utf8 = GbkToUtf8(gbk);
  EXPECT_EQ(utf8.size(), 400000u);
  EXPECT_EQ(Utf8ToGbk(utf8), gbk);
}

}  // namespace
}  // namespace dt
