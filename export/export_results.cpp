#include "export/export_results.h"

#include <filesystem>
#include <fstream>

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

fs::path FsPath(std::string_view utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

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
  std::uintmax_t oldSize = 0;
  if (existed) {
    oldSize = fs::file_size(file, ec);
    if (ec) return ExportWrite::Failed;
  }

  // Append mode: the old content is never read, truncated or rewritten.
  std::ofstream out(file, std::ios::binary | std::ios::app);
  if (!out) return ExportWrite::Failed;
  if (existed) out.write("\r\n", 2);
  out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
  out.flush();
  bool written = static_cast<bool>(out);
  out.close();
  written = written && !out.fail();
  if (!written) {
    // Take back the part of the new block that made it in, nothing more.
    if (existed) {
      fs::resize_file(file, oldSize, ec);
    } else {
      fs::remove(file, ec);
    }
    return ExportWrite::Failed;
  }
  return ExportWrite::Saved;
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
