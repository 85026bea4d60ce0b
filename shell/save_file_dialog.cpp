#include "shell/save_file_dialog.h"

#include <QFileDialog>
#include <QStringList>

#include "export/save_dialog_text.h"
#include "text/gbk_codec.h"

namespace dt::shell {
namespace {

constexpr std::string_view kDialogTitle = "\xB1\xA3\xB4\xE6\xCE\xC4\xBC\xFE";  // 保存文件

}  // namespace

std::string ShowSaveFileDialog(QWidget* owner, std::string_view filterGbk, std::string_view folder,
                               std::string_view defaultNameGbk, std::string_view programFolder) {
  QFileDialog dialog(owner, QString::fromStdString(GbkToUtf8(kDialogTitle)));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  QStringList filters;
  for (const std::string& filter : DialogNameFilters(filterGbk)) {
    filters << QString::fromStdString(filter);
  }
  dialog.setNameFilters(filters);
  dialog.setDirectory(QString::fromStdString(NormaliseInitialFolder(folder, programFolder)));
  if (!defaultNameGbk.empty()) dialog.selectFile(QString::fromStdString(GbkToUtf8(defaultNameGbk)));
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList chosen = dialog.selectedFiles();
  return chosen.isEmpty() ? std::string() : chosen.front().toStdString();
}

}  // namespace dt::shell
