// The real main window through the settings walk: the file its design state
// writes, and that state brought back into a fresh window.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include "settings/control_states.h"
#include "settings/ini_file.h"
#include "shell/qt_savable_controls.h"
#include "shell/single_instance.h"
#include "tests/shell/shell_test_support.h"
#include "tests/support/temp_folder.h"

namespace dt::shell {
namespace {

using testing::G;

constexpr std::string_view kSkip = "\xB1\xE0\xBC\xAD\xBF\xF2\xCC\xE1\xCA\xBE/";  // 编辑框提示/

class WindowSettingsTest : public ::testing::Test, public testing::WithApp {
 protected:
  std::string File() const { return folder_.filePath("Quorle.ini").toStdString(); }
  QTemporaryDir folder_;
  testing::TestEngine engine_{CollectorConfig{}};
  testing::RecordingLauncher launcher_;
};

TEST_F(WindowSettingsTest, TheDesignStateWithOneFilterTickedWritesTheKnownFile) {
  MainWindow window(engine_.collector(), launcher_);
  window.ControlAs<QCheckBox>(G("选择框0信用"))->setChecked(true);
  window.ControlAs<QPlainTextEdit>(G("编辑框提示"))->setPlainText("never stored");
  ASSERT_TRUE(SaveControlStates(Pointers(window.Controls()), File(), "Dovetrail", kSkip));

  const char* lines[] = {"[Dovetrail]",
                         "选择框5=假",
                         "选择框4=假",
                         "选择框3=假",
                         "选择框2=假",
                         "选择框1=真",
                         "选择框0宝贝=假",
                         "选择框0信用=真",
                         "编辑框编号2=645090000",
                         "编辑框编号1=67808220",
                         "选择框宝贝名=真",
                         "选择框掌柜名=真",
                         "选择框店铺名=真",
                         "组合框类别=所有类别&0^",
                         "编辑框关键字="};
  std::string expected;
  for (const char* line : lines) expected += G(line) + "\r\n";
  EXPECT_EQ(dt::testing::ReadBytes(File()), expected);
}

TEST_F(WindowSettingsTest, AChangedStateComesBackInAFreshWindowButNotTheStatusBox) {
  {
    MainWindow window(engine_.collector(), launcher_);
    window.ControlAs<QLineEdit>(G("编辑框编号1"))->setText("1000");
    window.ControlAs<QLineEdit>(G("编辑框编号2"))->setText("2000");
    window.ControlAs<QCheckBox>(G("选择框0宝贝"))->setChecked(true);
    window.ControlAs<QCheckBox>(G("选择框1"))->setChecked(false);
    window.ControlAs<QCheckBox>(G("选择框5"))->setChecked(true);
    window.ControlAs<QPlainTextEdit>(G("编辑框提示"))->setPlainText("typed");
    ASSERT_TRUE(SaveControlStates(Pointers(window.Controls()), File(), "Dovetrail", kSkip));
  }
  // Bytes that are no GBK, written into the file by hand, survive a restore
  // and the next save.
  ASSERT_TRUE(WriteIniValue(File(), "Dovetrail", G("编辑框关键字"), "\xFF\xFE"));
  MainWindow fresh(engine_.collector(), launcher_);
  RestoreControlStates(Pointers(fresh.Controls()), File(), "Dovetrail", kSkip);
  const std::string again = folder_.filePath("again.ini").toStdString();
  ASSERT_TRUE(SaveControlStates(Pointers(fresh.Controls()), again, "Dovetrail", kSkip));
  EXPECT_EQ(ReadIniValue(again, "Dovetrail", G("编辑框关键字"), ""), "\xFF\xFE");
  EXPECT_EQ(fresh.ControlAs<QLineEdit>(G("编辑框编号1"))->text(), "1000");
  EXPECT_EQ(fresh.ControlAs<QLineEdit>(G("编辑框编号2"))->text(), "2000");
  EXPECT_TRUE(fresh.ControlAs<QCheckBox>(G("选择框0宝贝"))->isChecked());
  EXPECT_FALSE(fresh.ControlAs<QCheckBox>(G("选择框1"))->isChecked());
  EXPECT_TRUE(fresh.ControlAs<QCheckBox>(G("选择框5"))->isChecked());
  EXPECT_TRUE(fresh.ControlAs<QPlainTextEdit>(G("编辑框提示"))->toPlainText().isEmpty());
  // The engine sees the restored range end at once.
  EXPECT_EQ(engine_.collector().Run().LastNumber(), 2000);
}

TEST(ShowToFront, RestoresAMinimisedWindowAndShowsAHiddenOne) {
  testing::App();
  QWidget minimised;
  minimised.showMinimized();
  ShowToFront(&minimised);
  EXPECT_FALSE(minimised.isMinimized());
  EXPECT_TRUE(minimised.isVisible());

  QWidget hidden;
  ShowToFront(&hidden);
  EXPECT_TRUE(hidden.isVisible());
  ShowToFront(nullptr);  // no window yet: nothing happens
}

}  // namespace
}  // namespace dt::shell
