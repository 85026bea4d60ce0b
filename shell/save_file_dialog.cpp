#include "shell/save_file_dialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>

#include "export/save_dialog_text.h"
#include "shell/ui_text.h"
#include "text/gbk_codec.h"

namespace dt::shell {
namespace {

constexpr std::string_view kDialogTitle = "\xB1\xA3\xB4\xE6\xCE\xC4\xBC\xFE";  // 保存文件
// 文件夹不存在： <folder> 请选择一个已有的文件夹。
constexpr std::string_view kNoFolder = "\xCE\xC4\xBC\xFE\xBC\xD0\xB2\xBB\xB4\xE6\xD4\xDA\xA3\xBA";
constexpr std::string_view kChooseExisting =
    "\xC7\xEB\xD1\xA1\xD4\xF1\xD2\xBB\xB8\xF6\xD2\xD1\xD3\xD0\xB5\xC4\xCE\xC4\xBC\xFE"
    "\xBC\xD0\xA1\xA3";

// The folder of path, when it is not an existing folder.
QString MissingFolderOf(const QString& path) {
  const QString folder = QFileInfo(path).absolutePath();
  return QFileInfo(folder).isDir() ? QString() : folder;
}

void SayFolderIsMissing(QWidget* owner, const QString& folder) {
  QMessageBox::warning(
      owner, Ui(kDialogTitle),
      Ui(kNoFolder) + QLatin1Char('\n') + folder + QLatin1Char('\n') + Ui(kChooseExisting));
}

// A file to write must go into a folder that exists: such a choice is refused
// and the dialog stays open, so the export never starts on a path it cannot
// write.
class ExistingFolderDialog : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

  void accept() override {
    // A name typed without an extension gets the chosen filter's.
    setDefaultSuffix(QString::fromStdString(DefaultSuffixFor(selectedNameFilter().toStdString())));
    // A platform's own dialog has closed by now; the caller checks its choice.
    if (!testAttribute(Qt::WA_DontShowOnScreen)) {
      const QString missing = MissingFolderOf(selectedFiles().value(0));
      if (!selectedFiles().isEmpty() && !missing.isEmpty()) {
        SayFolderIsMissing(this, missing);
        return;
      }
    }
    QFileDialog::accept();
  }
};

}  // namespace

std::string ShowSaveFileDialog(QWidget* owner, std::string_view filterGbk, std::string_view folder,
                               std::string_view defaultNameGbk, std::string_view programFolder) {
  ExistingFolderDialog dialog(owner, Ui(kDialogTitle));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  QStringList filters;
  for (const std::string& filter : DialogNameFilters(filterGbk)) {
    filters << QString::fromStdString(filter);
  }
  dialog.setNameFilters(filters);
  // A platform's own dialog takes the suffix from here while it is open.
  QObject::connect(
      &dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
        dialog.setDefaultSuffix(QString::fromStdString(DefaultSuffixFor(filter.toStdString())));
      });
  dialog.setDirectory(QString::fromStdString(NormaliseInitialFolder(folder, programFolder)));
  if (!defaultNameGbk.empty()) dialog.selectFile(Ui(defaultNameGbk));
  for (;;) {
    if (dialog.exec() != QDialog::Accepted) return {};
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return {};
    const QString missing = MissingFolderOf(chosen.front());
    if (missing.isEmpty()) return chosen.front().toStdString();
    // A platform dialog that closed on the choice opens again on it.
    SayFolderIsMissing(owner, missing);
    dialog.selectFile(chosen.front());
  }
}

}  // namespace dt::shell
