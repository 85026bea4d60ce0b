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
