// The toolkit's save-file dialog as the export opens it: title, filters,
// folder, default suffix, cancel, and the question before replacing a file.
#include "shell/save_file_dialog.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <functional>

#include "shell_test_support.h"
#include "tests/support/temp_folder.h"

namespace dt::shell {
namespace {

using testing::G;

// Runs handle(widget) once a modal widget of type T is up (for a few seconds).
template <typename T>
void WhenModal(std::function<void(T*)> handle, int triesLeft = 500) {
  QTimer::singleShot(10, [handle, triesLeft] {
    if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget())) {
      handle(widget);
    } else if (triesLeft > 0) {
      WhenModal<T>(handle, triesLeft - 1);
    }
  });
}

void WhenDialogOpens(std::function<void(QFileDialog*)> handle) {
  WhenModal<QFileDialog>(std::move(handle));
}

// What the user types into the dialog's name field.
void TypeFileName(QFileDialog* dialog, const char* name) {
  auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  ASSERT_NE(field, nullptr);
  field->setText(QString::fromUtf8(name));
}

class SaveFileDialogTest : public ::testing::Test, protected testing::WithApp {
 protected:
  std::string Show(std::string_view folder = {}) {
    return ShowSaveFileDialog(nullptr, G("文本文件丨*.txt"), folder, G("淘宝新开店铺信息"),
                              folder_.Path().string() + "/");
  }
  dt::testing::TempFolder folder_;
};

TEST_F(SaveFileDialogTest, OpensWithTheProgramsConventionsAndCancelGivesNothing) {
  QString title, suffix, selected;
  QStringList filters;
  QString directory;
  bool confirmsOverwrite = false;
  WhenDialogOpens([&](QFileDialog* dialog) {
    title = dialog->windowTitle();
    suffix = dialog->defaultSuffix();
    filters = dialog->nameFilters();
    directory = dialog->directory().absolutePath();
    confirmsOverwrite = !dialog->testOption(QFileDialog::DontConfirmOverwrite);
    selected = dialog->selectedFiles().value(0);
    dialog->reject();
  });
  EXPECT_EQ(Show(), "");
  EXPECT_EQ(title, QString::fromUtf8("保存文件"));
  EXPECT_EQ(suffix, QStringLiteral("txt"));
  EXPECT_EQ(filters, QStringList{QString::fromUtf8("文本文件 (*.txt)")});
  EXPECT_EQ(directory, QString::fromStdString(folder_.Path().string()));
  EXPECT_TRUE(confirmsOverwrite);
  EXPECT_EQ(selected, QString::fromStdString(folder_.File("淘宝新开店铺信息.txt")));
}

TEST_F(SaveFileDialogTest, AcceptedNameGetsTheDefaultSuffix) {
  WhenDialogOpens([](QFileDialog* dialog) { static_cast<QDialog*>(dialog)->accept(); });
  EXPECT_EQ(Show(), folder_.File("淘宝新开店铺信息.txt"));
}

TEST_F(SaveFileDialogTest, GivenFolderWithBackslashesIsUsed) {
  const std::filesystem::path sub = folder_.Path() / "sub";
  std::filesystem::create_directory(sub);
  WhenDialogOpens([](QFileDialog* dialog) {
    TypeFileName(dialog, "named");
    static_cast<QDialog*>(dialog)->accept();
  });
  std::string windowsStyle = sub.string() + "\\";
  EXPECT_EQ(Show(windowsStyle), (sub / "named.txt").string());
}

TEST_F(SaveFileDialogTest, ChoosingAnExistingFileAsksBeforeReplacing) {
  const std::string existing = folder_.File("old.txt");
  dt::testing::WriteBytes(existing, "old");
  bool asked = false;
  WhenDialogOpens([&](QFileDialog* dialog) {
    TypeFileName(dialog, "old.txt");
    WhenModal<QMessageBox>([&](QMessageBox* question) {
      asked = true;
      question->button(QMessageBox::Yes)->click();
    });
    static_cast<QDialog*>(dialog)->accept();
  });
  EXPECT_EQ(Show(), existing);
  EXPECT_TRUE(asked);
}

TEST_F(SaveFileDialogTest, ANameInAFolderThatDoesNotExistIsRefusedInTheDialog) {
  QString message;
  bool stayedOpen = false;
  WhenDialogOpens([&](QFileDialog* dialog) {
    TypeFileName(dialog, "nosuch/named");
    WhenModal<QMessageBox>([&](QMessageBox* box) {
      message = box->text();
      box->button(QMessageBox::Ok)->click();
      WhenDialogOpens([&](QFileDialog* again) {
        TypeFileName(again, "named");
        static_cast<QDialog*>(again)->accept();
      });
    });
    static_cast<QDialog*>(dialog)->accept();  // returns once the message is closed
    stayedOpen = dialog->isVisible();
  });
  EXPECT_EQ(Show(), folder_.File("named.txt"));
  EXPECT_TRUE(stayedOpen);
  EXPECT_TRUE(message.contains(QString::fromStdString((folder_.Path() / "nosuch").string())))
      << message.toStdString();
  EXPECT_FALSE(std::filesystem::exists(folder_.Path() / "nosuch"));
}

}  // namespace
}  // namespace dt::shell
