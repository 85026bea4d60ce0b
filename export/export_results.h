// Writing the results list to a file the user picks. The text file: a line
// per row made of the seller account and the fields ticked for export, one
// blank between them, CR LF at the end, the list's GBK bytes untouched. A
// name ending in ".csv" or ".xlsx" gives a table instead (spreadsheet_export.h).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dt {

// Which fields follow the seller account, in this order; the boxes 选择框1..5.
struct ExportOptions {
  bool shopName = true;       // column 3
  bool shopAddress = false;   // column 4
  bool creationDate = false;  // column 5
  bool creditLevel = false;   // column 6
  bool itemCount = false;     // column 7
};

// cell(row, column) gives the GBK bytes of a results cell (columns 0..7 as the
// results list has them). Each row gives cell(r, 1), then " " + the cell of
// every chosen field (an empty cell still brings its blank), then CR LF.
std::string BuildExportText(std::size_t rowCount,
                            const std::function<std::string(std::size_t, int)>& cell,
                            const ExportOptions& options);

enum class ExportWrite { Saved, Failed };

// A new file is created holding lines. An existing file is only ever appended
// to: "\r\n" + lines go after its old content, which stays whole (bytes after
// a NUL included), and a failed append is cut back off. path is a UTF-8 path.
[[nodiscard]] ExportWrite WriteExportFile(const std::string& path, std::string_view lines);

// The folder the save dialog opens in: the program's folder when the user may
// write there, else the documents folder (an installed program's folder is
// not the user's).
std::string ExportInitialFolder(const std::string& programFolder);

struct ExportDeps {
  // Returns the chosen path (UTF-8 filesystem path), or empty when cancelled.
  std::function<std::string(std::string_view filterGbk, std::string_view folder,
                            std::string_view defaultNameGbk)>
      showSaveFileDialog;
  std::function<std::size_t()> rowCount;
  std::function<std::string(std::size_t, int)> cell;
  std::function<ExportOptions()> options;  // read after the dialog closes
  // Called from the thread a table is written on; must be safe there.
  std::function<void(std::string_view gbkMessage)> appendStatusLine;
  std::string programFolder;  // the dialog's first folder, with trailing "/"
  // The GBK title of a list column, for a table's header row.
  std::function<std::string(int column)> columnTitle;
  // Runs a table's writing away from the window's thread, which must keep
  // answering while a million rows are written; cell and appendStatusLine
  // are then called there. Without one the writing runs at once.
  std::function<void(std::function<void()> work)> runAside;
  // Called once the rows are in the file (on the thread that wrote them);
  // never after a failed write.
  std::function<void()> saved;
};

// The list's columns in an export row: the seller account, then the chosen
// fields in the order of ExportOptions.
std::vector<int> ExportColumns(const ExportOptions& options);

// "文件已经保存。。。": the status line of a saved export.
extern const std::string_view kExportSavedMessage;
// "文件未能保存。。。": the status line of an export that could not be written.
extern const std::string_view kExportFailedMessage;

// The click handler of the export button: asks for a file (filters for text,
// CSV and workbook files, the program's folder, name "淘宝新开店铺信息"),
// writes the rows there in the format the name's extension asks for and says
// in a status line whether it worked. The row count and the chosen fields
// are taken when the dialog closes. A table replaces the file (the dialog has
// asked first); past a sheet's capacity, or with cells cut to a workbook
// cell's size, a status line says so. A cancel does nothing at all.
void ExportResults(const ExportDeps& deps);

}  // namespace dt
