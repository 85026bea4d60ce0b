// The table exports read back by readers of their own: a strict RFC 4180
// reader for the CSV file, python3's zipfile and Qt's XML reader for the
// workbook. Every cell must come back as the list shows it.
#include "export/spreadsheet_export.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QXmlStreamReader>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "export/export_results.h"
#include "tests/support/temp_folder.h"
#include "text/gbk_codec.h"

namespace dt {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;
using Table = std::vector<std::vector<std::string>>;

// Parses CSV as RFC 4180 has it, after a UTF-8 byte-order mark: records end
// in CR LF, a field is either free of comma, quote, CR and LF, or quoted with
// its quotes doubled. Anything else is an error (nullopt).
std::optional<Table> ReadCsvStrictly(std::string_view text) {
  if (!text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  Table records(1);
  for (std::size_t at = 3; at < text.size();) {
    std::string field;
    if (text[at] == '"') {
      for (++at; at < text.size() && (text[at] != '"' || text.substr(at, 2) == "\"\""); ++at) {
        at += text[at] == '"';
        field.push_back(text[at]);
      }
      if (at++ >= text.size()) return std::nullopt;  // no closing quote
    } else {
      while (at < text.size() && text.find_first_of(",\"\r\n", at) != at) field += text[at++];
    }
    records.back().push_back(field);
    if (at < text.size() && text[at] == ',') {
      ++at;
    } else if (text.substr(at, 2) == "\r\n") {
      at += 2;
      if (at < text.size()) records.emplace_back();
    } else {
      return std::nullopt;
    }
  }
  return records;
}

// One member of a zip file, as python3's zipfile reads it (CRCs checked).
std::string ZipMember(const std::string& zip, const char* member) {
  QProcess python;
  python.start(
      QStringLiteral("python3"),
      {QStringLiteral("-c"),
       QStringLiteral("import sys, zipfile; "
                      "sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))"),
       QString::fromStdString(zip), QString::fromLatin1(member)});
  EXPECT_TRUE(python.waitForFinished(60000));
  EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
  return python.readAllStandardOutput().toStdString();
}

// "_xHHHH_" in a workbook's text stands for the character HHHH.
std::string DecodeWorkbookText(const QString& text) {
  static const QRegularExpression escape(QStringLiteral("_x([0-9A-Fa-f]{4})_"));
  QString out;
  qsizetype from = 0;
  for (auto it = escape.globalMatch(text); it.hasNext();) {
    const QRegularExpressionMatch match = it.next();
    out += text.mid(from, match.capturedStart() - from);
    out += QChar(static_cast<char16_t>(match.captured(1).toUInt(nullptr, 16)));
    from = match.capturedEnd();
  }
  return (out + text.mid(from)).toStdString();
}

// The cells of a sheet's XML as rows of texts (missing cells empty). Every
// cell must be a text cell held in the sheet; style 1 (bold) only in row 1.
Table ReadSheet(const std::string& xml) {
  Table rows;
  QXmlStreamReader reader(QByteArray::fromStdString(xml));
  std::size_t row = 0, column = 0;
  while (!reader.atEnd()) {
    if (reader.readNext() != QXmlStreamReader::StartElement) continue;
    const auto attribute = [&reader](const char* name) {
      return reader.attributes().value(QLatin1String(name)).toString();
    };
    if (reader.name() == QLatin1String("c")) {
      const QString ref = attribute("r");
      column = 0;
      qsizetype i = 0;
      for (; i < ref.size() && ref[i].isLetter(); ++i)
        column = column * 26 + (ref[i].unicode() - 'A' + 1);
      --column;
      row = ref.mid(i).toULong() - 1;
      EXPECT_EQ(attribute("t"), QStringLiteral("inlineStr")) << ref.toStdString();
      EXPECT_EQ(attribute("s") == QStringLiteral("1"), row == 0) << ref.toStdString();
    } else if (reader.name() == QLatin1String("t")) {
      if (rows.size() <= row) rows.resize(row + 1);
      if (rows[row].size() <= column) rows[row].resize(column + 1);
      rows[row][column] = DecodeWorkbookText(reader.readElementText());
    }
  }
  EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
  return rows;
}

std::string G(const char* utf8) {
  return Utf8ToGbk(utf8);
}

// Columns 0..7 of the list; every field box ticked, so 1 and 3..7 are written.
const Table kListRows = {
    {"1", "a,b\"c", "", G("甲的店"), "http://shop1.taobao.com/", "2011-08-01", "", "00123"},
    {"2", "\tseller\r\n2\r", "", "bad\xFF", "_x0041_", "line1\nline2", "\x01x", "a\rb"},
    {"3", " lead", "", "cut\xB2", "\"\"", "=1+1", "\xD2\xBB\xD0\xC4", "7"},
    {"4", "+86", "", "-" + G("一心"), "@a", "x=1", "\rcr", "-3"},
};
// The same cells as the list shows them (bytes that do not decode as U+FFFD),
// with the header row.
const Table kShown = {
    {"卖家旺旺", "店铺名称", "店铺地址", "创店时间", "累计信用", "宝贝数量"},
    {"a,b\"c", "甲的店", "http://shop1.taobao.com/", "2011-08-01", "", "00123"},
    {"\tseller\r\n2\r", "bad\uFFFD", "_x0041_", "line1\nline2", "\x01x", "a\rb"},
    {" lead", "cut\uFFFD", "\"\"", "=1+1", "一心", "7"},
    {"+86", "-一心", "@a", "x=1", "\rcr", "-3"},
};

// Pads every row to the header's width: a sheet leaves empty cells out.
Table Padded(Table rows) {
  for (auto& row : rows) row.resize(kShown[0].size());
  return rows;
}

class TableExportTest : public ::testing::Test {
 protected:
  // Runs the export button's handler on the list rows_, keeping the writing
  // that it hands aside until RunAside().
  void Export(const std::string& path) {
    ExportDeps deps;
    deps.showSaveFileDialog = [path](std::string_view, std::string_view, std::string_view) {
      return path;
    };
    deps.rowCount = [this] { return rowCount_ ? rowCount_ : rows_.size(); };
    deps.cell = [this](std::size_t row, int column) {
      return cell_ ? cell_(row, column) : rows_.at(row).at(static_cast<std::size_t>(column));
    };
    deps.options = [] { return ExportOptions{true, true, true, true, true}; };
    deps.appendStatusLine = [this](std::string_view line) { status_.emplace_back(line); };
    deps.columnTitle = [](int column) {
      const char* titles[] = {"",         "卖家旺旺", "",         "店铺名称",
                              "店铺地址", "创店时间", "累计信用", "宝贝数量"};
      return G(titles[column]);
    };
    deps.runAside = [this](std::function<void()> work) { aside_ = std::move(work); };
    ExportResults(deps);
  }
  void RunAside() {
    ASSERT_TRUE(aside_);
    aside_();
  }

  TempFolder folder_;
  Table rows_ = kListRows;
  std::size_t rowCount_ = 0;
  std::function<std::string(std::size_t, int)> cell_;
  std::function<void()> aside_;
  std::vector<std::string> status_;
};

TEST_F(TableExportTest, CsvReadsBackAsTheListShowsIt) {
  const std::string path = folder_.File("shops.CSV");
  WriteBytes(path, "old content that a table replaces");
  Export(path);
  rows_.push_back({"4", "added after the click"});
  EXPECT_TRUE(status_.empty());
  RunAside();
  const std::string bytes = ReadBytes(path);
  const std::optional<Table> read = ReadCsvStrictly(bytes);
  ASSERT_TRUE(read) << bytes;
  Table csv = kShown;  // a cell a spreadsheet would run opens as text behind a '
  const std::pair<int, int> formulas[] = {{2, 0}, {3, 3}, {4, 0}, {4, 1}, {4, 2}, {4, 4}, {4, 5}};
  for (const auto& [row, column] : formulas) csv[row][column].insert(0, "'");
  EXPECT_EQ(*read, csv);
  EXPECT_EQ(status_, std::vector<std::string>{G("文件已经保存。。。")});
}

TEST_F(TableExportTest, WorkbookReadsBackAsTheListShowsIt) {
  const std::string path = folder_.File("shops.xlsx");
  rows_[0][3] = std::string(kCellCharacters + 5, 'n');
  Export(path);
  const mode_t umask = ::umask(027);
  RunAside();
  ::umask(umask);
  EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640))
      << "a new file's mode follows the umask";
  const std::string sheet = ZipMember(path, "xl/worksheets/sheet1.xml");
  Table expected = Padded(kShown);
  expected[1][1] = std::string(kCellCharacters, 'n');
  EXPECT_EQ(Padded(ReadSheet(sheet)), expected);
  EXPECT_NE(sheet.find("ySplit=\"1\""), std::string::npos) << "header row frozen";
  EXPECT_NE(sheet.find("<autoFilter ref=\"A1:F5\"/>"), std::string::npos);
  EXPECT_NE(sheet.find("<cols>"), std::string::npos) << "widths fitted";
  EXPECT_EQ(ZipMember(path, "xl/workbook.xml").find("sheet2"), std::string::npos);
  EXPECT_EQ(status_,
            (std::vector<std::string>{G("1 个单元格超过 32767 个字符，只写了前 32767 个字符"),
                                      G("文件已经保存。。。")}));
}

TEST_F(TableExportTest, RowsPastASheetsCapacityGoOnInTheNextSheet) {
  rowCount_ = kSheetDataRows + 2;
  // Empty cells are left out of a sheet, so only the rows at the edges cost.
  cell_ = [](std::size_t row, int column) {
    const bool edge = row == 0 || row + 4 >= kSheetDataRows + 2;
    return column == 1 && edge ? "r" + std::to_string(row) : std::string();
  };
  const std::string path = folder_.File("many.xlsx");
  Export(path);
  RunAside();
  const Table first = ReadSheet(ZipMember(path, "xl/worksheets/sheet1.xml"));
  ASSERT_EQ(first.size(), kSheetDataRows + 1);
  EXPECT_EQ(first[1][0], "r0");
  EXPECT_EQ(first[kSheetDataRows - 1][0], "r1048573");
  EXPECT_EQ(first[kSheetDataRows][0], "r1048574");
  const Table second = ReadSheet(ZipMember(path, "xl/worksheets/sheet2.xml"));
  EXPECT_EQ(second, (Table{kShown[0], {"r1048575"}, {"r1048576"}}));
  EXPECT_EQ(status_, (std::vector<std::string>{
                         G("表格分成了 2 张工作表：行数超过一张工作表能放的 1048575 行"),
                         G("文件已经保存。。。")}));

  // Rows that fill the last sheet exactly make no empty sheet after it.
  rowCount_ = kSheetDataRows;
  status_.clear();
  const std::string full = folder_.File("full.xlsx");
  Export(full);
  RunAside();
  EXPECT_EQ(ReadSheet(ZipMember(full, "xl/worksheets/sheet1.xml")).back(),
            (std::vector<std::string>{"r1048574"}));
  EXPECT_EQ(ZipMember(full, "xl/workbook.xml").find("sheet2"), std::string::npos);
  EXPECT_EQ(status_, (std::vector<std::string>{G("文件已经保存。。。")}));
}

TEST_F(TableExportTest, AFailedWriteKeepsTheOldFileAndSaysSo) {
  rows_.resize(2000, kListRows[0]);
  for (const char* name : {"old.csv", "old.xlsx"}) {
    const std::string path = folder_.File(name);
    const std::string old(300, 'o');
    WriteBytes(path, old);
    status_.clear();
    Export(path);
    {
      testing::FileSizeLimit limit(200);  // the new file cannot grow past this
      RunAside();
    }
    EXPECT_EQ(ReadBytes(path), old) << name;
    EXPECT_EQ(status_, std::vector<std::string>{G("文件未能保存。。。")}) << name;
    fs::remove(path);
    EXPECT_TRUE(fs::is_empty(folder_.Path())) << name << ": a temporary file was left behind";
  }
}

TEST_F(TableExportTest, AFolderThatRefusesNewFilesGetsTheFileRewrittenInPlace) {
  if (testing::RerunAsOrdinaryUser()) return;
  const std::string path = folder_.File("kept.xlsx");
  WriteBytes(path, std::string(100000, 'o'));
  fs::permissions(folder_.Path(), fs::perms::owner_read | fs::perms::owner_exec);
  Export(path);
  RunAside();
  fs::permissions(folder_.Path(), fs::perms::owner_all);
  EXPECT_EQ(status_, std::vector<std::string>{G("文件已经保存。。。")});
  EXPECT_EQ(Padded(ReadSheet(ZipMember(path, "xl/worksheets/sheet1.xml"))), Padded(kShown));
}

TEST(ExportFormatOf, FollowsTheFileNamesExtensionInAnyCase) {
  const std::pair<const char*, ExportFormat> cases[] = {
      {"/d/a.csv", ExportFormat::Csv},       {"/d/a.cSv", ExportFormat::Csv},
      {"/d/a.XLSX", ExportFormat::Workbook}, {"/d/a.txt", ExportFormat::Text},
      {"/d/a.xls", ExportFormat::Text},      {"/d/a.csv.txt", ExportFormat::Text},
      {"/d.csv/a", ExportFormat::Text},      {"/d/.xlsx", ExportFormat::Text}};
  for (const auto& [path, format] : cases) EXPECT_EQ(ExportFormatOf(path), format) << path;
}

}  // namespace
}  // namespace dt
