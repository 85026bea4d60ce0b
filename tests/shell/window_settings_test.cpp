// The real main window through the settings walk: the file its design state
// writes, and that state brought back into a fresh window.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTemporaryDir>

#include "settings/control_states.h"
#include "settings/ini_file.h"
#include "shell/headless_options.h"
#include "shell/program_settings.h"
#include "shell/qt_savable_controls.h"
#include "shell/single_instance.h"
#include "tests/shell/shell_test_support.h"
#include "tests/support/case_name.h"
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

// The requests at once come from the program's own file and go back there;
// the form's settings file never hears of them.
TEST_F(WindowSettingsTest, RequestsAtOnceLiveInTheProgramsOwnFileOnly) {
  const std::string conf = folder_.filePath("config/dovetrail/dovetrail.conf").toStdString();
  const struct {
    const char* text;  // nullptr: no file
    int read;
  } cases[] = {{nullptr, 1},
               {"[network]\nrequests=7\n", 7},
               {"[network]\nrequests=20\n", 20},
               {"[network]\nrequests=21\n", 1},
               {"[network]\nrequests=0\n", 1},
               {"[network]\nrequests=-3\n", 1},
               {"[network]\nrequests=many\n", 1},
               {"[network]\nrequests=\n", 1},
               {"[other]\nrequests=9\n", 1}};
  int index = 0;
  for (const auto& c : cases) {
    // A file of its own for each case: the toolkit keeps what it read of a
    // file while its size and time stay the same.
    const std::string file = folder_.filePath(QString::number(++index) + ".conf").toStdString();
    if (c.text) dt::testing::WriteBytes(file, c.text);
    EXPECT_EQ(ReadRequestsAtOnce(file), c.read) << (c.text ? c.text : "no file");
  }
  std::filesystem::create_directories(std::filesystem::path(conf).parent_path());

  dt::testing::WriteBytes(conf, "[network]\nrequests=7\n[other]\nkeep=yes\n");
  MainWindow window(engine_.collector(), launcher_);
  ASSERT_TRUE(SaveControlStates(Pointers(window.Controls()), File(), "Dovetrail", kSkip));
  const std::string formFile = dt::testing::ReadBytes(File());
  KeepRequestsAtOnceIn(window, conf);
  EXPECT_EQ(window.RequestsBox()->value(), 7);
  EXPECT_EQ(engine_.collector().Progress().requestsAtOnce, 7);
  window.RequestsBox()->setValue(12);
  EXPECT_EQ(engine_.collector().Progress().requestsAtOnce, 12);
  EXPECT_EQ(ReadRequestsAtOnce(conf), 12);
  const std::string written = dt::testing::ReadBytes(conf);
  EXPECT_NE(written.find("[network]"), std::string::npos) << written;
  EXPECT_NE(written.find("keep=yes"), std::string::npos) << written;
  ASSERT_TRUE(SaveControlStates(Pointers(window.Controls()), File(), "Dovetrail", kSkip));
  EXPECT_EQ(dt::testing::ReadBytes(File()), formFile);
}

// Following lives in the program's own file too: a missing or foreign value
// gives the default, a poll out of bounds its nearest bound.
TEST_F(WindowSettingsTest, FollowSettingsLiveInTheProgramsOwnFile) {
  const struct {
    const char* text;  // nullptr: no file
    bool on;
    int poll;
  } cases[] = {{nullptr, false, 60},
               {"[follow]\non=true\npoll=4\n", true, 5},
               {"[follow]\non=true\npoll=5\n", true, 5},
               {"[follow]\non=false\npoll=6\n", false, 6},
               {"[follow]\npoll=86400\n", false, 86400},
               {"[follow]\npoll=86401\n", false, 86400},
               {"[follow]\non=yes\npoll=soon\n", false, 60},
               {"[network]\non=true\npoll=9\n", false, 60}};
  int index = 0;
  for (const auto& c : cases) {
    const std::string file = folder_.filePath(QString::number(++index) + ".conf").toStdString();
    if (c.text) dt::testing::WriteBytes(file, c.text);
    const FollowConfig read = ReadFollowSettings(file);
    EXPECT_EQ(read.on, c.on) << (c.text ? c.text : "no file");
    EXPECT_EQ(read.pollSeconds, c.poll) << (c.text ? c.text : "no file");
  }
  // Written beside the requests at once, which stay.
  const std::string conf = folder_.filePath("config/dovetrail/dovetrail.conf").toStdString();
  ASSERT_TRUE(WriteRequestsAtOnce(conf, 7));
  ASSERT_TRUE(WriteFollowSettings(conf, FollowConfig{true, 17}));
  EXPECT_EQ(ReadRequestsAtOnce(conf), 7);
  EXPECT_TRUE(ReadFollowSettings(conf).on);
  EXPECT_EQ(ReadFollowSettings(conf).pollSeconds, 17);
}

struct OptionsCase {
  const char* what;
  std::vector<std::string> args;  // after the program's name
  const char* read;               // what Read() makes of the options
};

// The options in one line: "refused", or the run asked for.
std::string Read(const HeadlessOptions& o) {
  if (!o.error.empty()) return "refused";
  std::string text = o.headless ? "headless" : "window";
  if (o.follow) text += " follow" + (o.followFrom ? "=" + std::to_string(*o.followFrom) : "");
  if (o.rangeFirst)
    text +=
        " range=" + std::to_string(*o.rangeFirst) + "-" + std::to_string(o.rangeLast.value_or(-1));
  if (o.pollSeconds) text += " poll=" + std::to_string(*o.pollSeconds);
  return text;
}

class HeadlessOptionsTest : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(HeadlessOptionsTest, ReadsOnlyItsOwnOptionsAndRefusesBadValues) {
  std::vector<std::string> args{"dovetrail"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  EXPECT_EQ(Read(ParseHeadlessOptions(args)), GetParam().read);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, HeadlessOptionsTest,
    ::testing::Values(
        OptionsCase{"others left alone", {"-platform", "x", "--verbose"}, "window"},
        OptionsCase{"follow without from", {"--headless", "--follow", "--poll", "5"}, "headless follow poll=5"},
        OptionsCase{"from at largest", {"--follow", "2147483647"}, "window follow=2147483647"},
        OptionsCase{"from past largest", {"--follow", "2147483648"}, "refused"},
        OptionsCase{"from negative", {"--follow", "-5"}, "refused"},
        OptionsCase{"range of one", {"--range", "10", "10"}, "window range=10-10"},
        OptionsCase{"range upside down", {"--range", "11", "10"}, "refused"},
        OptionsCase{"range short", {"--range", "10"}, "refused"},
        OptionsCase{"range and follow", {"--range", "1", "2", "--follow"}, "refused"},
        OptionsCase{"poll below least", {"--poll", "4"}, "refused"},
        OptionsCase{"poll at most", {"--poll", "86400"}, "window poll=86400"},
        OptionsCase{"poll above most", {"--poll", "86401"}, "refused"},
        OptionsCase{"poll with blank", {"--poll", " 60"}, "refused"}),
    test::CaseName());
// clang-format on

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
