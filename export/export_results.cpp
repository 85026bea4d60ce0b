#include "export/export_results.h"

#include <filesystem>

#include "export/special_folders.h"
#include "export/spreadsheet_export.h"
#include "files/file_io.h"
#include "text/gbk_text.h"

namespace dt {
namespace fs = std::filesystem;

const std::string_view kExportSavedMessage =
    "\xCE\xC4\xBC\xFE\xD2\xD1\xBE\xAD\xB1\xA3\xB4\xE6\xA1\xA3\xA1\xA3\xA1"
    "\xA3";  // 文件已经保存。。。
const std::string_view kExportFailedMessage =
    "\xCE\xC4\xBC\xFE\xCE\xB4\xC4\xDC\xB1\xA3\xB4\xE6\xA1\xA3\xA1\xA3\xA1\xA3";  // 文件未能保存。。。

namespace {

// 文本文件丨*.txt丨CSV表格丨*.csv丨Excel工作簿丨*.xlsx (the dialog drops blanks)
constexpr std::string_view kExportFilter =
    "\xCE\xC4\xB1\xBE\xCE\xC4\xBC\xFE\xD8\xAD*.txt\xD8\xAD"
    "CSV\xB1\xED\xB8\xF1\xD8\xAD*.csv\xD8\xAD"
    "Excel\xB9\xA4\xD7\xF7\xB2\xBE\xD8\xAD*.xlsx";
constexpr std::string_view kExportDefaultName =
    "\xCC\xD4\xB1\xA6\xD0\xC2\xBF\xAA\xB5\xEA\xC6\xCC\xD0\xC5\xCF\xA2";  // 淘宝新开店铺信息

// 表格分成了 N 张工作表：行数超过一张工作表能放的 M 行
std::string SheetsMessage(std::size_t sheets) {
  return "\xB1\xED\xB8\xF1\xB7\xD6\xB3\xC9\xC1\xCB " + ToText(static_cast<long long>(sheets)) +
         " \xD5\xC5\xB9\xA4\xD7\xF7\xB1\xED\xA3\xBA\xD0\xD0\xCA\xFD\xB3\xAC\xB9\xFD\xD2\xBB\xD5\xC5"
         "\xB9\xA4\xD7\xF7\xB1\xED\xC4\xDC\xB7\xC5\xB5\xC4 " +
         ToText(static_cast<long long>(kSheetDataRows)) + " \xD0\xD0";
}

// N 个单元格超过 32767 个字符，只写了前 32767 个字符
std::string CutCellsMessage(std::size_t cells) {
  return ToText(static_cast<long long>(cells)) +
         " \xB8\xF6\xB5\xA5\xD4\xAA\xB8\xF1\xB3\xAC\xB9\xFD 32767 \xB8\xF6\xD7\xD6\xB7\xFB\xA3\xAC"
         "\xD6\xBB\xD0\xB4\xC1\xCB\xC7\xB0 32767 \xB8\xF6\xD7\xD6\xB7\xFB";
}

// Writes the table and says how it went, on whatever thread it runs.
void WriteTable(const std::string& path, ExportFormat format, const ExportTable& table,
                const std::function<void(std::string_view)>& appendStatusLine,
                const std::function<void()>& savedHook) {
  bool saved = false;
  if (format == ExportFormat::Csv) {
    saved = WriteCsvFile(path, table);
  } else {
    const WorkbookWrite written = WriteWorkbookFile(path, table);
    saved = written.saved;
    if (saved && written.sheets > 1) appendStatusLine(SheetsMessage(written.sheets));
    if (saved && written.cutCells > 0) appendStatusLine(CutCellsMessage(written.cutCells));
  }
  if (saved && savedHook) savedHook();
  appendStatusLine(saved ? kExportSavedMessage : kExportFailedMessage);
}

}  // namespace

std::vector<int> ExportColumns(const ExportOptions& options) {
  std::vector<int> columns{1};
  const std::pair<bool, int> fields[] = {{options.shopName, 3},
                                         {options.shopAddress, 4},
                                         {options.creationDate, 5},
                                         {options.creditLevel, 6},
                                         {options.itemCount, 7}};
  for (const auto& [chosen, column] : fields) {
    if (chosen) columns.push_back(column);
  }
  return columns;
}

std::string BuildExportText(std::size_t rowCount,
                            const std::function<std::string(std::size_t, int)>& cell,
                            const ExportOptions& options) {
  const std::vector<int> columns = ExportColumns(options);
  std::string text;
  for (std::size_t row = 0; row < rowCount; ++row) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (i > 0) text.push_back(' ');
      text += cell(row, columns[i]);
    }
    text += "\r\n";
  }
  return text;
}

ExportWrite WriteExportFile(const std::string& path, std::string_view lines) {
  if (path.empty()) return ExportWrite::Failed;
  const fs::path file = FsPath(path);
  std::error_code ec;
  const fs::file_status status = fs::status(file, ec);
  const bool existed = status.type() != fs::file_type::not_found;
  if (existed && status.type() != fs::file_type::regular) return ExportWrite::Failed;
  // The old content is never read, truncated or rewritten: the new block only
  // goes after it, and a failed append is taken back.
  std::string block = existed ? "\r\n" : "";
  block += lines;
  return AppendToFile(file, block) ? ExportWrite::Saved : ExportWrite::Failed;
}

std::string ExportInitialFolder(const std::string& programFolder) {
  if (!programFolder.empty() && FolderWritable(FsPath(programFolder))) return programFolder;
  const std::string documents = ShellFolderPath(1);
  return documents.size() > 1 ? documents : programFolder;
}

void ExportResults(const ExportDeps& deps) {
  const std::string path =
      deps.showSaveFileDialog(kExportFilter, deps.programFolder, kExportDefaultName);
  if (path.empty()) return;
  const std::size_t rows = deps.rowCount();
  const ExportFormat format = ExportFormatOf(path);
  if (format != ExportFormat::Text) {
    ExportTable table;
    table.rowCount = rows;
    table.cell = deps.cell;
    table.columns = ExportColumns(deps.options());
    for (const int column : table.columns) {
      table.titles.push_back(deps.columnTitle ? deps.columnTitle(column) : std::string());
    }
    auto work = [path, format, table = std::move(table), append = deps.appendStatusLine,
                 saved = deps.saved] { WriteTable(path, format, table, append, saved); };
    if (deps.runAside) {
      deps.runAside(std::move(work));
    } else {
      work();
    }
    return;
  }
  const std::string lines = BuildExportText(rows, deps.cell, deps.options());
  const bool saved = WriteExportFile(path, lines) == ExportWrite::Saved;
  if (saved && deps.saved) deps.saved();
  deps.appendStatusLine(saved ? kExportSavedMessage : kExportFailedMessage);
}

}  // namespace dt
