#include "export/export_results.h"

#include <filesystem>

#include "export/special_folders.h"
#include "files/file_io.h"

namespace dt {
namespace fs = std::filesystem;

const std::string_view kExportSavedMessage =
    "\xCE\xC4\xBC\xFE\xD2\xD1\xBE\xAD\xB1\xA3\xB4\xE6\xA1\xA3\xA1\xA3\xA1"
    "\xA3";  // 文件已经保存。。。
const std::string_view kExportFailedMessage =
    "\xCE\xC4\xBC\xFE\xCE\xB4\xC4\xDC\xB1\xA3\xB4\xE6\xA1\xA3\xA1\xA3\xA1\xA3";  // 文件未能保存。。。

namespace {

constexpr std::string_view kExportFilter =
    "\xCE\xC4\xB1\xBE\xCE\xC4\xBC\xFE\xD8\xAD*.txt";  // 文本文件丨*.txt
constexpr std::string_view kExportDefaultName =
    "\xCC\xD4\xB1\xA6\xD0\xC2\xBF\xAA\xB5\xEA\xC6\xCC\xD0\xC5\xCF\xA2";  // 淘宝新开店铺信息

}  // namespace

std::string BuildExportText(std::size_t rowCount,
                            const std::function<std::string(std::size_t, int)>& cell,
                            const ExportOptions& options) {
  const std::pair<bool, int> fields[] = {{options.shopName, 3},
                                         {options.shopAddress, 4},
                                         {options.creationDate, 5},
                                         {options.creditLevel, 6},
                                         {options.itemCount, 7}};
  std::string text;
  for (std::size_t row = 0; row < rowCount; ++row) {
    text += cell(row, 1);
    for (const auto& [chosen, column] : fields) {
      if (!chosen) continue;
      text.push_back(' ');
      text += cell(row, column);
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
  const std::string lines = BuildExportText(rows, deps.cell, deps.options());
  const bool saved = WriteExportFile(path, lines) == ExportWrite::Saved;
  deps.appendStatusLine(saved ? kExportSavedMessage : kExportFailedMessage);
}

}  // namespace dt
