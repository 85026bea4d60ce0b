// The toolkit's save-file dialog with the program's text conventions.
#pragma once

#include <string>
#include <string_view>

class QWidget;

namespace dt::shell {

// Asks for a file to write: title "保存文件", the filter text's pairs as name
// filters, the default suffix "txt" (but "csv" or "xlsx" while the CSV or
// workbook filter is chosen), opening in folder (programFolder when empty)
// with defaultNameGbk proposed. Choosing an existing file asks whether to
// replace it; a name in a folder that does not exist is refused with a
// message, and the dialog stays open. Returns the chosen path in the
// filesystem's encoding (UTF-8), or empty text when the user cancels.
std::string ShowSaveFileDialog(QWidget* owner, std::string_view filterGbk, std::string_view folder,
                               std::string_view defaultNameGbk, std::string_view programFolder);

}  // namespace dt::shell
