#include "settings/ini_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/support/case_name.h"

namespace dt::ini {
namespace {

using std::string_literals::operator""s;

struct LookupCase {
  const char* what;
  std::string content;
  std::string section;
  std::string key;
  std::optional<std::string> expected;
};

class LookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(LookupTest, FindsStoredValue) {
  const LookupCase& c = GetParam();
  EXPECT_EQ(LookupValue(c.content, c.section, c.key), c.expected) << c.what;
}

// 设置 = C9 E8 D6 C3; 编辑框 = B1 E0 BC AD BF F2.
const std::string kSheZhi = "\xC9\xE8\xD6\xC3";
const std::string kEditBox = "\xB1\xE0\xBC\xAD\xBF\xF2";

INSTANTIATE_TEST_SUITE_P(
    Cases, LookupTest,
    ::testing::Values(
        LookupCase{"plain", "[s]\r\nk=v\r\n", "s", "k", "v"},
        LookupCase{"empty content", "", "s", "k", std::nullopt},
        LookupCase{"missing section", "[t]\r\nk=v\r\n", "s", "k", std::nullopt},
        LookupCase{"missing key", "[s]\r\nj=v\r\n", "s", "k", std::nullopt},
        LookupCase{"empty value is found", "[s]\r\nk=\r\n", "s", "k", ""},
        LookupCase{"blanks around names and value", "  [ s ]  \r\n \t k \t= \t v w \t\r\n", "s",
                   "k", "v w"},
        LookupCase{"double quotes removed", "[s]\r\nk=\" v \"\r\n", "s", "k", " v "},
        LookupCase{"single quotes removed", "[s]\r\nk='v'\r\n", "s", "k", "v"},
        LookupCase{"mismatched quotes kept", "[s]\r\nk=\"v'\r\n", "s", "k", "\"v'"},
        LookupCase{"lone quote kept", "[s]\r\nk=\"\r\n", "s", "k", "\""},
        LookupCase{"only one pair removed", "[s]\r\nk=\"\"v\"\"\r\n", "s", "k", "\"v\""},
        LookupCase{"section case folded", "[SeCt]\r\nk=v\r\n", "sect", "k", "v"},
        LookupCase{"key case folded", "[s]\r\nKeY=v\r\n", "s", "key", "v"},
        // The trail byte 0x41/0x61 of a double-byte character is not a letter.
        LookupCase{"trail bytes never fold", "[s]\r\n\x81\x41=v\r\n", "s", "\x81\x61",
                   std::nullopt},
        LookupCase{"chinese names", "[" + kSheZhi + "]\r\n" + kEditBox + "=1\r\n", kSheZhi,
                   kEditBox, "1"},
        LookupCase{"LF-only lines", "[s]\nj=1\nk=v\n", "s", "k", "v"},
        LookupCase{"CR-only lines", "[s]\rj=1\rk=v\r", "s", "k", "v"},
        LookupCase{"mixed line ends", "[s]\rj=1\nk=v\r\n", "s", "k", "v"},
        LookupCase{"no final line break", "[s]\r\nk=v", "s", "k", "v"},
        LookupCase{"first of duplicate keys", "[s]\r\nk=1\r\nk=2\r\n", "s", "k", "1"},
        LookupCase{"first of duplicate sections only", "[s]\r\na=1\r\n[s]\r\nk=2\r\n", "s", "k",
                   std::nullopt},
        LookupCase{"duplicate section's first holds key", "[s]\r\nk=1\r\n[s]\r\nk=2\r\n", "s", "k",
                   "1"},
        LookupCase{"key of the next section not taken", "[s]\r\n[t]\r\nk=v\r\n", "s", "k",
                   std::nullopt},
        LookupCase{"key before any section ignored", "k=v\r\n[s]\r\n", "s", "k", std::nullopt},
        LookupCase{"a name alone is a key with an empty value", "[s]\r\n k \r\nk=2\r\n", "s", "k",
                   ""},
        LookupCase{"value holds =", "[s]\r\nk=a=b\r\n", "s", "k", "a=b"},
        LookupCase{"blank lines inside a section", "[s]\r\n\r\n   \r\nk=v\r\n", "s", "k", "v"},
        // 0x5D "]" as a trail byte must not end the section name.
        LookupCase{"bracket trail byte in section name", "[\x81]x]\r\nk=v\r\n", "\x81]x", "k", "v"},
        LookupCase{"header without closing bracket heads nothing", "[s\r\nk=v\r\n", "s", "k",
                   std::nullopt},
        LookupCase{"keys below an unclosed header stay above", "[s]\r\n[t\r\nk=v\r\n", "s", "k",
                   "v"},
        LookupCase{"NUL bytes are ordinary bytes", "[s]\r\nk=a\0b\r\n"s, "s", "k", "a\0b"s}),
    test::CaseName());

TEST(LookupValue, CutsValuesAtTheReadBufferSize) {
  for (const std::size_t size :
       {kMaxValueBytes - 1, kMaxValueBytes, kMaxValueBytes + 1, std::size_t{20000}}) {
    std::string value;
    for (std::size_t i = 0; i < size; ++i) value.push_back(static_cast<char>('a' + i % 26));
    const auto got = LookupValue("[s]\r\nk=" + value + "\r\n", "s", "k");
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, value.substr(0, kMaxValueBytes)) << size;
  }
}

struct WriteCase {
  const char* what;
  std::string before;
  std::string section;
  std::string key;
  std::string value;
  std::string after;
};

class PlanWriteTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(PlanWriteTest, EditsOnlyWhatItMust) {
  const WriteCase& c = GetParam();
  std::string content = c.before;
  ApplyEdit(content, PlanWrite(content, c.section, c.key, c.value));
  EXPECT_EQ(content, c.after) << c.what;
  EXPECT_EQ(LookupValue(content, c.section, c.key), c.value) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlanWriteTest,
    ::testing::Values(
        WriteCase{"empty file", "", "s", "k", "v", "[s]\r\nk=v\r\n"},
        WriteCase{"empty value", "", "s", "k", "", "[s]\r\nk=\r\n"},
        WriteCase{"replace in place", "[s]\r\na=1\r\nk=old\r\nb=2\r\n", "s", "k", "new",
                  "[s]\r\na=1\r\nk=new\r\nb=2\r\n"},
        WriteCase{"replace keeps the key's own spelling", "[S]\r\n  KeY = old  \r\n", "s", "key",
                  "v", "[S]\r\n  KeY =v\r\n"},
        WriteCase{"replace on the last line without break", "[s]\r\nk=1", "s", "k", "22",
                  "[s]\r\nk=22"},
        WriteCase{"replace keeps LF line ends", "[s]\nk=1\nz=2\n", "s", "k", "3",
                  "[s]\nk=3\nz=2\n"},
        WriteCase{"new key after last key", "[s]\r\na=1\r\n", "s", "k", "v",
                  "[s]\r\na=1\r\nk=v\r\n"},
        WriteCase{"new key above the blank lines before the next section",
                  "[s]\r\na=1\r\n\r\n\r\n[t]\r\nx=1\r\n", "s", "k", "v",
                  "[s]\r\na=1\r\nk=v\r\n\r\n\r\n[t]\r\nx=1\r\n"},
        WriteCase{"new key in an empty section", "[s]\r\n\r\n[t]\r\n", "s", "k", "v",
                  "[s]\r\nk=v\r\n\r\n[t]\r\n"},
        WriteCase{"new key above trailing blank lines at the end", "[s]\r\na=1\r\n\r\n", "s", "k",
                  "v", "[s]\r\na=1\r\nk=v\r\n\r\n"},
        WriteCase{"new key after a last line without break", "[s]\r\na=1", "s", "k", "v",
                  "[s]\r\na=1\r\nk=v\r\n"},
        WriteCase{"new key after a header without break", "[s]", "s", "k", "v", "[s]\r\nk=v\r\n"},
        WriteCase{"new key in a LF-only file", "[s]\na=1\n", "s", "k", "v", "[s]\na=1\nk=v\r\n"},
        WriteCase{"new key in a CR-only file", "[s]\ra=1\r[t]\r", "s", "k", "v",
                  "[s]\ra=1\rk=v\r\n[t]\r"},
        WriteCase{"comment-like lines count as content", "; note\r\n[s]\r\n;x\r\n", "s", "k", "v",
                  "; note\r\n[s]\r\n;x\r\nk=v\r\n"},
        WriteCase{"a name alone gets its value", "[s]\r\n K \r\nb=2\r\n", "s", "k", "v",
                  "[s]\r\n K =v\r\nb=2\r\n"},
        WriteCase{"an unclosed header is content of the section above", "[s]\r\na=1\r\n[t\r\n", "s",
                  "k", "v", "[s]\r\na=1\r\n[t\r\nk=v\r\n"},
        WriteCase{"an unclosed header is no section of its name", "[s]\r\n[t", "t", "k", "v",
                  "[s]\r\n[t\r\n[t]\r\nk=v\r\n"},
        WriteCase{"new section at the end", "[t]\r\nx=1\r\n", "s", "k", "v",
                  "[t]\r\nx=1\r\n[s]\r\nk=v\r\n"},
        WriteCase{"new section starts on its own line", "[t]\r\nx=1", "s", "k", "v",
                  "[t]\r\nx=1\r\n[s]\r\nk=v\r\n"},
        WriteCase{"new section after text without sections", "junk", "s", "k", "v",
                  "junk\r\n[s]\r\nk=v\r\n"},
        WriteCase{"first of duplicate sections is written", "[s]\r\na=1\r\n[s]\r\nk=2\r\n", "s",
                  "k", "3", "[s]\r\na=1\r\nk=3\r\n[s]\r\nk=2\r\n"},
        WriteCase{"key in another section is not this key", "[t]\r\nk=1\r\n[s]\r\n", "s", "k", "2",
                  "[t]\r\nk=1\r\n[s]\r\nk=2\r\n"},
        WriteCase{"chinese key in a chinese section", "[" + kSheZhi + "]\r\n", kSheZhi, kEditBox,
                  "\xD5\xE6", "[" + kSheZhi + "]\r\n" + kEditBox + "=\xD5\xE6\r\n"}),
    test::CaseName());

TEST(PlanWrite, LeavesEveryOtherByteAlone) {
  // Odd spacing, a BOM-like prefix, a NUL byte and odd line ends elsewhere survive.
  const std::string head = "\xEF\xBB\xBFtop\r\n[a]\n x = 1 \r\n\x00z\r\r\n"s;
  const std::string tail = "\r\n[b]\rk=q\r\n   \r\n";
  std::string content = head + "[s]\r\nk=1\r\n" + tail;
  ApplyEdit(content, PlanWrite(content, "s", "k", "2"));
  EXPECT_EQ(content, head + "[s]\r\nk=2\r\n" + tail);
}

TEST(CleanName, TrimsAndDropsLineBreaks) {
  EXPECT_EQ(CleanName(" \t k \r\n"), "k");
  EXPECT_EQ(CleanName("a\r\nb"), "ab");
  EXPECT_EQ(CleanName("ab\0cd"s), "ab");
  EXPECT_EQ(CleanName("  \x01 "), "");
  EXPECT_EQ(CleanValue(" a\r\n[x]\ny=1 "), " a[x]y=1 ");
}

TEST(FoldName, FoldsOnlySingleByteLetters) {
  EXPECT_EQ(FoldName("AbC\x81\x41Z"), "abc\x81\x41z");
  EXPECT_EQ(FoldName("X\x81"), "x\x81");  // lone lead byte at the end
}

}  // namespace
}  // namespace dt::ini
