#include "export/export_results.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/case_name.h"
#include "tests/support/temp_folder.h"
#include "text/gbk_codec.h"

namespace dt {
namespace {

namespace fs = std::filesystem;
using std::string_literals::operator""s;
using testing::FileSizeLimit;
using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;

std::string G(const char* utf8) {
  return Utf8ToGbk(utf8);
}

// Rows of the results list: columns 0..7 as the list holds them.
using Rows = std::vector<std::vector<std::string>>;

std::function<std::string(std::size_t, int)> CellsOf(const Rows& rows) {
  return [&rows](std::size_t row, int column) {
    return rows.at(row).at(static_cast<std::size_t>(column));
  };
}

const Rows kRows = {
    {"1", G("卖家甲"), "", G("甲的店"), "http://shop1.taobao.com/", "2011-08-01", G("一心"), "12"},
    {"2", "b d", "", "name with blanks", "http://shop2.taobao.com/", "", "", ""},
};

struct TextCase {
  const char* what;
  ExportOptions options;
  std::string expected;
};

class ExportTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(ExportTextTest, WritesTheChosenColumns) {
  const TextCase& c = GetParam();
  EXPECT_EQ(BuildExportText(kRows.size(), CellsOf(kRows), c.options), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExportTextTest,
    ::testing::Values(TextCase{"initial state: account and shop name", ExportOptions{},
                               G("卖家甲 甲的店\r\n") + "b d name with blanks\r\n"},
                      TextCase{"no box: the account alone",
                               ExportOptions{false, false, false, false, false},
                               G("卖家甲\r\n") + "b d\r\n"},
                      TextCase{"all five, empty cells keep their blank",
                               ExportOptions{true, true, true, true, true},
                               G("卖家甲 甲的店 http://shop1.taobao.com/ 2011-08-01 一心 12\r\n") +
                                   "b d name with blanks http://shop2.taobao.com/   \r\n"},
                      TextCase{"fixed order whatever is chosen",
                               ExportOptions{false, false, true, false, true},
                               G("卖家甲 2011-08-01 12\r\n") + "b d  \r\n"}),
    test::CaseName());

TEST(ExportText, EmptyListGivesNoLines) {
  EXPECT_EQ(BuildExportText(0, CellsOf(kRows), ExportOptions{true, true, true, true, true}), "");
}

TEST(ExportText, NeverReadsTheNumberOrStatusColumn) {
  std::vector<int> read;
  const auto cell = [&read](std::size_t, int column) {
    read.push_back(column);
    return std::string();
  };
  BuildExportText(2, cell, ExportOptions{true, true, true, true, true});
  EXPECT_EQ(read, (std::vector<int>{1, 3, 4, 5, 6, 7, 1, 3, 4, 5, 6, 7}));
}

class ExportFileTest : public ::testing::Test {
 protected:
  TempFolder folder_;
  std::string file_ = folder_.File("淘宝新开店铺信息.txt");  // paths are UTF-8
};

TEST_F(ExportFileTest, NewFileHoldsTheLinesAlone) {
  EXPECT_EQ(WriteExportFile(file_, "a x\r\n"), ExportWrite::Saved);
  EXPECT_EQ(ReadBytes(file_), "a x\r\n");
}

TEST_F(ExportFileTest, EmptyListCreatesAnEmptyFile) {
  EXPECT_EQ(WriteExportFile(file_, ""), ExportWrite::Saved);
  EXPECT_TRUE(fs::exists(file_));
  EXPECT_EQ(fs::file_size(file_), 0u);
  // ...and an existing file then only gets the separating line break.
  EXPECT_EQ(WriteExportFile(file_, ""), ExportWrite::Saved);
  EXPECT_EQ(ReadBytes(file_), "\r\n");
}

TEST_F(ExportFileTest, SecondExportAppendsAfterAnEmptyLine) {
  ASSERT_EQ(WriteExportFile(file_, "a\r\nb\r\n"), ExportWrite::Saved);
  ASSERT_EQ(WriteExportFile(file_, "c\r\n"), ExportWrite::Saved);
  EXPECT_EQ(ReadBytes(file_), "a\r\nb\r\n\r\nc\r\n");
}

TEST_F(ExportFileTest, OldContentWithANulByteStaysWhole) {
  const std::string old = "old\0tail after nul\xFF"s;
  WriteBytes(file_, old);
  ASSERT_EQ(WriteExportFile(file_, "new\r\n"), ExportWrite::Saved);
  EXPECT_EQ(ReadBytes(file_), old + "\r\nnew\r\n");
}

TEST_F(ExportFileTest, FailedAppendLeavesTheFileUnchanged) {
  const std::string old = std::string(100, 'o') + "\0tail"s;
  WriteBytes(file_, old);
  {
    FileSizeLimit limit(150);  // part of the new block would fit, then the write fails
    EXPECT_EQ(WriteExportFile(file_, std::string(200, 'n')), ExportWrite::Failed);
  }
  EXPECT_EQ(ReadBytes(file_), old);

  fs::remove(file_);
  {
    FileSizeLimit limit(20);
    EXPECT_EQ(WriteExportFile(file_, std::string(200, 'n')), ExportWrite::Failed);
  }
  EXPECT_FALSE(fs::exists(file_)) << "a half-written new file is taken back";
}

TEST_F(ExportFileTest, ReadOnlyFileIsNotTouched) {
  if (testing::RerunAsOrdinaryUser()) return;
  WriteBytes(file_, "old");
  fs::permissions(file_, fs::perms::owner_read);
  EXPECT_EQ(WriteExportFile(file_, "new\r\n"), ExportWrite::Failed);
  EXPECT_EQ(ReadBytes(file_), "old");
}

TEST_F(ExportFileTest, UnwritablePlacesFail) {
  EXPECT_EQ(WriteExportFile(folder_.File("missing/out.txt"), "x\r\n"), ExportWrite::Failed);
  EXPECT_FALSE(fs::exists(folder_.File("missing")));
  EXPECT_EQ(WriteExportFile(folder_.Path().string(), "x\r\n"), ExportWrite::Failed);
  EXPECT_EQ(WriteExportFile("", "x\r\n"), ExportWrite::Failed);
}

// ExportResults against fakes of the dialog, the list, the boxes and the status box.
class ExportResultsTest : public ExportFileTest {
 protected:
  ExportDeps Deps() {
    ExportDeps deps;
    deps.showSaveFileDialog = [this](std::string_view filter, std::string_view folder,
                                     std::string_view name) {
      dialogCalls_.push_back({std::string(filter), std::string(folder), std::string(name)});
      // Options change while the dialog is open; the export must see the new ones.
      options_ = afterDialog_;
      return chosen_;
    };
    deps.rowCount = [this] { return rows_.size(); };
    deps.cell = CellsOf(rows_);
    deps.options = [this] { return options_; };
    deps.appendStatusLine = [this](std::string_view line) { status_.emplace_back(line); };
    deps.programFolder = "/opt/dovetrail/";
    return deps;
  }

  Rows rows_ = kRows;
  std::string chosen_ = file_;
  ExportOptions options_{};
  ExportOptions afterDialog_{false, false, false, false, true};
  std::vector<std::vector<std::string>> dialogCalls_;
  std::vector<std::string> status_;
};

TEST_F(ExportResultsTest, AsksForTheFileThenWritesAndReports) {
  ExportResults(Deps());
  ASSERT_EQ(dialogCalls_.size(), 1u);
  EXPECT_EQ(dialogCalls_[0],
            (std::vector<std::string>{G("文本文件丨*.txt丨CSV表格丨*.csv丨Excel工作簿丨*.xlsx"),
                                      "/opt/dovetrail/", G("淘宝新开店铺信息")}));
  EXPECT_EQ(ReadBytes(file_), G("卖家甲 12\r\n") + "b d \r\n");
  EXPECT_EQ(status_, (std::vector<std::string>{G("文件已经保存。。。")}));
}

TEST_F(ExportResultsTest, CancelDoesNothing) {
  chosen_.clear();
  ExportResults(Deps());
  EXPECT_TRUE(status_.empty());
  EXPECT_TRUE(fs::is_empty(folder_.Path()));
}

TEST_F(ExportResultsTest, FailureIsReportedNotClaimedAsSuccess) {
  chosen_ = folder_.File("missing/out.txt");
  ExportResults(Deps());
  EXPECT_EQ(status_, (std::vector<std::string>{G("文件未能保存。。。")}));
}

}  // namespace
}  // namespace dt

namespace dt {
namespace {

// The saved hook marks the rows as exported: it runs once for a file that
// was written, whatever the format, and never for one that was not.
TEST_F(ExportResultsTest, OnlyAWrittenFileCallsTheSavedHook) {
  for (const std::string folder : {"", "missing/"}) {
    for (const char* name : {"out.txt", "out.csv", "out.xlsx"}) {
      SCOPED_TRACE(folder + name);
      chosen_ = folder_.File(folder + name);
      int saved = 0;
      ExportDeps deps = Deps();
      deps.saved = [&saved] { ++saved; };
      ExportResults(deps);
      EXPECT_EQ(saved, folder.empty() ? 1 : 0);
    }
  }
}

}  // namespace
}  // namespace dt
