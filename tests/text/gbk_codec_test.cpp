#include "text/gbk_codec.h"
#include "text/page_charset.h"

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

// Characters GBK lacks keep their GB18030 form both ways; only broken UTF-8
// is lost.
TEST(GbkCodec, CharactersBeyondGbkSurviveAndBrokenUtf8BecomesOneQuestionMark) {
  const std::string emoji =
      "a\x94\x39\xFC\x36"
      "b";
  EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80"
                      "b"),
            emoji);
  EXPECT_EQ(GbkToUtf8Lossless(emoji),
            "a\xF0\x9F\x98\x80"
            "b");
  EXPECT_EQ(Utf8ToGbk("a\xC3"
                      "b"),
            "a?b");
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

// Which character set a page is read in, and what the parser then gets.
TEST(PageCharset, DeclaredSetDecidesTheConversion) {
  const std::string gbkName = "\xD6\xD0";       // 中 in GBK
  const std::string utf8Name = "\xE4\xB8\xAD";  // 中 in UTF-8
  const std::string metaUtf8 = "<html><head><meta charset=\"UTF-8\"></head>";
  const std::string metaGb2312 = "<meta charset=\"gb2312\">";
  const std::string metaTag = "<meta charset=\"UTF-8\">";
  // Blanks up to byte 1024 less `less`.
  const auto before = [](std::size_t less) { return std::string(kCharsetSniffBytes - less, ' '); };
  const struct {
    const char* what;
    std::string contentType, body, expected;
  } cases[] = {
      {"no declaration reads as GBK", "text/html", utf8Name, utf8Name},
      {"header utf-8", "text/html; charset=utf-8", utf8Name, gbkName},
      {"header quoted, upper case", "text/html;Charset=\"UTF-8\"", utf8Name, gbkName},
      {"header gbk family", "text/html; charset=GB2312", gbkName, gbkName},
      // GBK beyond GB2312 (丂) stays: pages that say gb2312 are written in GBK.
      {"gb2312 page kept as it is", "text/html; charset=gb2312", "\x81\x40" + gbkName,
       "\x81\x40" + gbkName},
      {"gb2312 meta kept as it is", "", metaGb2312 + "\x81\x40" + gbkName,
       metaGb2312 + "\x81\x40" + gbkName},
      {"meta charset", "text/html", metaUtf8 + utf8Name, metaUtf8 + gbkName},
      {"meta http-equiv", "",
       "<meta http-equiv='Content-Type' content='text/html; charset=utf-8'>" + utf8Name,
       "<meta http-equiv='Content-Type' content='text/html; charset=utf-8'>" + gbkName},
      {"header beats a conflicting meta", "text/html; charset=gbk", metaUtf8 + gbkName,
       metaUtf8 + gbkName},
      {"meta ending at byte 1024 is read", "", before(metaTag.size()) + metaTag + utf8Name,
       before(metaTag.size()) + metaTag + gbkName},
      {"meta from byte 1024 on is not read", "", before(0) + metaTag + utf8Name,
       before(0) + metaTag + utf8Name},
      {"meta cut at byte 1024 names no known set", "",
       before(metaTag.size() - 4) + metaTag + utf8Name,
       before(metaTag.size() - 4) + metaTag + utf8Name},
      {"charset outside a meta tag is text", "", "<p>charset=utf-8</p>" + utf8Name,
       "<p>charset=utf-8</p>" + utf8Name},
      {"byte-order mark dropped", "text/html; charset=utf-8", "\xEF\xBB\xBF" + utf8Name, gbkName},
      {"character beyond GBK kept as GB18030", "text/html; charset=utf-8", "\xF0\xA0\x80\x80",
       "\x95\x32\x82\x36"},
      {"invalid UTF-8 becomes a visible U+FFFD", "text/html; charset=utf-8", "a\xFF\xC3",
       "a\x84\x31\xA4\x37\x84\x31\xA4\x37"},
      {"unknown set left as it is", "text/html; charset=x-unheard-of", utf8Name, utf8Name},
      {"latin-1", "text/html; charset=iso-8859-1", "caf\xE9", "caf\xA8\xA6"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PageInGbk(c.body, c.contentType), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace dt
