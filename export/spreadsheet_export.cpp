#include "export/spreadsheet_export.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "files/file_io.h"
#include "text/gbk_codec.h"

namespace dt {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// A cell that starts with one of these opens in a spreadsheet as a formula.
constexpr std::string_view kFormulaLeads = "=+-@\t\r";
// The CSV text goes to the file in pieces of about this size.
constexpr std::size_t kCsvPiece = 1 << 20;

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  const std::string_view tail = text.substr(text.size() - suffix.size());
  return std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A workbook reader turns "_xHHHH_" in a cell into the character HHHH; a
// cell that holds such text literally gets its underscore written as
// "_x005F_", so the reader shows the text as the list does.
std::string KeepEscapeLookalikes(std::string text) {
  for (std::size_t at = text.find("_x"); at != std::string::npos; at = text.find("_x", at + 1)) {
    if (at + 7 > text.size() || text[at + 6] != '_' ||
        !std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at) + 2,
                     text.begin() + static_cast<std::ptrdiff_t>(at) + 6, IsHexDigit)) {
      continue;
    }
    text.insert(at + 1, "x005F_");
    at += 6;
  }
  return text;
}

// The UTF-8 text cut after its first `characters` characters; cut says so.
std::string FirstCharacters(std::string text, std::size_t characters, bool& cut) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsContinuationByte(text[i])) continue;
    if (seen++ == characters) {
      text.resize(i);
      cut = true;
      break;
    }
  }
  return text;
}

// How many columns of a fixed-width font the text takes: East Asian
// characters two, the rest one.
std::size_t DisplayWidth(std::string_view utf8) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (IsContinuationByte(static_cast<char>(c))) continue;
    width += c >= 0xE1 ? 2 : 1;  // lead bytes of U+1100 and up
  }
  return width;
}

// The widest a fitted column gets, in characters; longer text stays in its
// cell and shows when the column is widened.
constexpr std::size_t kWidestColumn = 60;
// Past this much cell text the workbook needs 64-bit zip records.
constexpr std::uint64_t kZip64Bytes = 3'500'000'000;

// A workbook given up on is freed without being written out.
struct WorkbookFree {
  void operator()(lxw_workbook* workbook) const { lxw_workbook_free(workbook); }
};

enum class Attempt { Saved, Failed, NeedsZip64 };

Attempt WriteWorkbook(const char* file, const ExportTable& table, std::size_t rowsPerSheet,
                      bool zip64, WorkbookWrite& result) {
  lxw_workbook_options options{};
  options.constant_memory = LXW_TRUE;  // rows go to disk as they are written
  options.use_zip64 = zip64 ? LXW_TRUE : LXW_FALSE;
  std::unique_ptr<lxw_workbook, WorkbookFree> workbook(workbook_new_opt(file, &options));
  if (!workbook) return Attempt::Failed;
  lxw_format* bold = workbook_add_format(workbook.get());
  if (bold == nullptr) return Attempt::Failed;
  format_set_bold(bold);

  const std::size_t columnCount = table.columns.size();
  const std::size_t perSheet = std::max<std::size_t>(rowsPerSheet, 1);
  const std::size_t sheets = table.rowCount == 0 ? 1 : (table.rowCount - 1) / perSheet + 1;
  std::uint64_t bytes = 0;
  result = {};
  for (std::size_t sheet = 0; sheet < sheets; ++sheet) {
    lxw_worksheet* worksheet = workbook_add_worksheet(workbook.get(), nullptr);
    if (worksheet == nullptr) return Attempt::Failed;
    std::vector<std::size_t> widths(columnCount, 0);
    auto put = [&](std::size_t row, std::size_t column, std::string_view gbk, lxw_format* format) {
      bool cut = false;
      const std::string text =
          FirstCharacters(KeepEscapeLookalikes(GbkToUtf8(gbk)), kCellCharacters, cut);
      if (cut) ++result.cutCells;
      bytes += text.size();
      widths[column] = std::max(widths[column], std::min(DisplayWidth(text), kWidestColumn));
      if (text.empty()) return true;
      return worksheet_write_string(worksheet, static_cast<lxw_row_t>(row),
                                    static_cast<lxw_col_t>(column), text.c_str(),
                                    format) == LXW_NO_ERROR;
    };
    for (std::size_t c = 0; c < columnCount; ++c) {
      if (!put(0, c, table.titles[c], bold)) return Attempt::Failed;
    }
    const std::size_t first = sheet * perSheet;
    const std::size_t last = std::min(table.rowCount, first + perSheet);
    for (std::size_t row = first; row < last; ++row) {
      for (std::size_t c = 0; c < columnCount; ++c) {
        if (!put(row - first + 1, c, table.cell(row, table.columns[c]), nullptr)) {
          return Attempt::Failed;
        }
      }
      if (!zip64 && bytes > kZip64Bytes) return Attempt::NeedsZip64;
    }
    worksheet_freeze_panes(worksheet, 1, 0);
    const auto lastColumn = static_cast<lxw_col_t>(columnCount == 0 ? 0 : columnCount - 1);
    if (worksheet_autofilter(worksheet, 0, 0, static_cast<lxw_row_t>(last - first), lastColumn) !=
        LXW_NO_ERROR) {
      return Attempt::Failed;
    }
    for (std::size_t c = 0; c < columnCount; ++c) {
      const double width = static_cast<double>(std::max<std::size_t>(widths[c], 4) + 2);
      if (worksheet_set_column(worksheet, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c),
                               width, nullptr) != LXW_NO_ERROR) {
        return Attempt::Failed;
      }
    }
  }
  result.sheets = sheets;
  return workbook_close(workbook.release()) == LXW_NO_ERROR ? Attempt::Saved : Attempt::Failed;
}

}  // namespace

ExportFormat ExportFormatOf(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  // A name that is only the extension (".csv") is a hidden file's name.
  if (name.size() > 4 && EndsWithNoCase(name, ".csv")) return ExportFormat::Csv;
  if (name.size() > 5 && EndsWithNoCase(name, ".xlsx")) return ExportFormat::Workbook;
  return ExportFormat::Text;
}

std::string CsvField(std::string_view utf8) {
  // Page text a spreadsheet would run as a formula, or as the start of one.
  const bool guard = !utf8.empty() && kFormulaLeads.find(utf8.front()) != std::string_view::npos;
  const bool quote = utf8.find_first_of(",\"\r\n") != std::string_view::npos;
  if (!guard && !quote) return std::string(utf8);
  std::string field;
  if (quote) field.push_back('"');
  if (guard) field.push_back('\'');
  for (const char c : utf8) {
    if (c == '"') field.push_back('"');
    field.push_back(c);
  }
  if (quote) field.push_back('"');
  return field;
}

bool WriteCsvFile(const std::string& path, const ExportTable& table) {
  if (path.empty()) return false;
  return ReplaceFileStreamed(FsPath(path), [&table](const ByteSink& sink) {
    std::string piece(kByteOrderMark);
    auto record = [&piece](auto&& field, std::size_t count) {
      for (std::size_t c = 0; c < count; ++c) {
        if (c > 0) piece.push_back(',');
        piece += CsvField(GbkToUtf8(field(c)));
      }
      piece += "\r\n";
    };
    const std::size_t columns = table.columns.size();
    record([&table](std::size_t c) { return table.titles[c]; }, columns);
    for (std::size_t row = 0; row < table.rowCount; ++row) {
      record([&table, row](std::size_t c) { return table.cell(row, table.columns[c]); }, columns);
      if (piece.size() >= kCsvPiece) {
        if (!sink(piece)) return false;
        piece.clear();
      }
    }
    return sink(piece);
  });
}

WorkbookWrite WriteWorkbookFile(const std::string& path, const ExportTable& table,
                                std::size_t rowsPerSheet) {
  WorkbookWrite result;
  if (path.empty() || table.titles.size() != table.columns.size()) return result;
  const bool saved = ReplaceFileByWriter(FsPath(path), [&](const std::filesystem::path& temp) {
    Attempt attempt = WriteWorkbook(temp.c_str(), table, rowsPerSheet, false, result);
    if (attempt == Attempt::NeedsZip64) {
      attempt = WriteWorkbook(temp.c_str(), table, rowsPerSheet, true, result);
    }
    return attempt == Attempt::Saved;
  });
  result.saved = saved;
  return result;
}

}  // namespace dt
