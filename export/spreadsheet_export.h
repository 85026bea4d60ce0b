// The results list as a table for spreadsheets: a CSV file (UTF-8 with a
// byte-order mark, comma-separated, CR LF, quoted where needed) or an Excel
// workbook. Both hold a header row of column titles, then one row per list
// row with the cells' text; both replace the chosen file safely. No widgets:
// cells come in through a function, as GBK bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dt {

enum class ExportFormat { Text, Csv, Workbook };

// The format a chosen file name asks for: ".csv" and ".xlsx" in any letter
// case give a table, every other name the text export.
ExportFormat ExportFormatOf(std::string_view path);

struct ExportTable {
  std::size_t rowCount = 0;
  std::function<std::string(std::size_t row, int column)> cell;  // GBK
  std::vector<int> columns;         // the list's columns to write, in order
  std::vector<std::string> titles;  // GBK, one per entry of columns
};

// A CSV field: the text as it is, or quoted with its quotes doubled when it
// holds a comma, a quote, CR or LF. Text that starts with =, +, -, @, TAB or
// CR gets a ' in front, so a spreadsheet opens it as text, never as a formula.
std::string CsvField(std::string_view utf8);

// Writes the table as CSV over the file at path (UTF-8). Text that does not
// decode as GBK shows as U+FFFD. False when the file could not be written;
// the old file then stays whole.
[[nodiscard]] bool WriteCsvFile(const std::string& path, const ExportTable& table);

// The data rows one sheet of a workbook holds under its header row.
inline constexpr std::size_t kSheetDataRows = 1048575;
// The most characters a workbook cell holds.
inline constexpr std::size_t kCellCharacters = 32767;

struct WorkbookWrite {
  bool saved = false;
  std::size_t sheets = 0;    // rows past a sheet's capacity go on in the next sheet
  std::size_t cutCells = 0;  // cells longer than kCellCharacters, written cut
};

// Writes the table as an Excel workbook over the file at path: text cells
// only, a bold header row frozen at the top with a filter on it, columns as
// wide as their content. Each sheet holds rowsPerSheet data rows under its
// own header; the rest go on in the next sheet.
WorkbookWrite WriteWorkbookFile(const std::string& path, const ExportTable& table,
                                std::size_t rowsPerSheet = kSheetDataRows);

}  // namespace dt
