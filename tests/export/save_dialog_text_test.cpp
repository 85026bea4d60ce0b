#include "export/save_dialog_text.h"

#include <gtest/gtest.h>

#include "tests/support/case_name.h"
#include "text/gbk_codec.h"

namespace dt {
namespace {

std::string G(const char* utf8) {
  return Utf8ToGbk(utf8);
}

struct FilterCase {
  const char* what;
  std::string filter;                 // GBK
  std::vector<std::string> expected;  // UTF-8 name filters
};

class NameFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(NameFilterTest, Converts) {
  const FilterCase& c = GetParam();
  EXPECT_EQ(DialogNameFilters(c.filter), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameFilterTest,
    ::testing::Values(
        FilterCase{"the export's filter",
                   G("文本文件丨*.txt丨CSV表格丨*.csv丨Excel工作簿丨*.xlsx"),
                   {"文本文件 (*.txt)", "CSV表格 (*.csv)", "Excel工作簿 (*.xlsx)"}},
        FilterCase{
            "default when none", "", {"所有文件 (*)", "执行文件 (*.exe)", "文本文件 (*.txt)"}},
        FilterCase{
            "blanks removed inside descriptions", G("文本 文件　甲|*.txt"), {"文本文件甲 (*.txt)"}},
        FilterCase{"mixed separators", G("甲丨*.a|乙|*.b"), {"甲 (*.a)", "乙 (*.b)"}},
        FilterCase{"several patterns", G("文本|*.txt;*.log"), {"文本 (*.txt *.log)"}},
        FilterCase{"description without pattern dropped", G("甲|*.a|乙"), {"甲 (*.a)"}},
        FilterCase{"list ends at an empty item", G("甲|*.a||乙|*.b"), {"甲 (*.a)"}},
        // 珅 = AB 7C: its trail byte is "|" and must not split the description.
        FilterCase{"trail byte 0x7C is not a separator", "\xAB\x7C|*.a", {"\xE7\x8F\x85 (*.a)"}},
        // 啊 = B0 A1, ” = A1 B1: the bytes A1 A1 across them are no full-width blank.
        FilterCase{"full-width blank matched by characters",
                   "\xB0\xA1\xA1\xB1|*.a",
                   {"\xE5\x95\x8A\xE2\x80\x9D (*.a)"}}),
    test::CaseName());

TEST(DefaultSuffixFor, TheTableFiltersGiveTheirOwnEveryOtherTxt) {
  EXPECT_EQ(DefaultSuffixFor("CSV表格 (*.csv)"), "csv");
  EXPECT_EQ(DefaultSuffixFor("Excel工作簿 (*.xlsx)"), "xlsx");
  EXPECT_EQ(DefaultSuffixFor("文本文件 (*.txt)"), "txt");
  EXPECT_EQ(DefaultSuffixFor("执行文件 (*.exe)"), "txt");
  EXPECT_EQ(DefaultSuffixFor("所有文件 (*)"), "txt");
}

TEST(ParseFilterText, GivesGbkPairs) {
  const std::vector<FilterPair> pairs = ParseFilterText(G("文本文件丨*.txt"));
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].description, G("文本文件"));
  EXPECT_EQ(pairs[0].pattern, "*.txt");
}

TEST(NormaliseInitialFolder, UsesSlashesAndOneTrailingSeparator) {
  const struct {
    const char* folder;
    const char* expected;
  } cases[] = {
      {"C:\\data\\out", "C:/data/out/"},
      {"/home/u/out", "/home/u/out/"},
      {"/home/u/out/", "/home/u/out/"},
      {"/home/u/out//", "/home/u/out/"},
      {"C:\\data\\", "C:/data/"},
      {"/", "/"},
      {"/home/\xE6\x96\x87\xE6\xA1\xA3", "/home/\xE6\x96\x87\xE6\xA1\xA3/"},
      {"", "/opt/dovetrail/"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NormaliseInitialFolder(c.folder, "/opt/dovetrail/"), c.expected) << c.folder;
  }
  EXPECT_EQ(NormaliseInitialFolder("", "/opt/dovetrail"), "/opt/dovetrail/");
}

}  // namespace
}  // namespace dt
