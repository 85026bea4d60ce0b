#include "export/special_folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/settings/temp_folder.h"

namespace dt {
namespace {

// Points HOME and the XDG folders at a temporary folder for one test, so the
// user's own folders are never looked at.
class TemporaryHome : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    home_ = home_folder_.Path().string();
    ::setenv("HOME", home_.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home_ + "/.config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home_ + "/.local/share").c_str(), 1);
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

  testing::TempFolder home_folder_;
  std::string home_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(TemporaryHome, PersonalIsTheDocumentsFolder) {
  EXPECT_EQ(ShellFolderPath(1), home_ + "/Documents/");
}

TEST_F(TemporaryHome, FollowsTheUsersFolderSettings) {
  std::filesystem::create_directories(home_ + "/.config");
  testing::WriteBytes(home_ + "/.config/user-dirs.dirs",
                      "XDG_DOCUMENTS_DIR=\"$HOME/\xE6\x96\x87\xE6\xA1\xA3\"\n"
                      "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
  std::filesystem::create_directories(home_ + "/\xE6\x96\x87\xE6\xA1\xA3");  // 文档
  std::filesystem::create_directories(home_ + "/Schreibtisch");
  EXPECT_EQ(ShellFolderPath(1), home_ + "/\xE6\x96\x87\xE6\xA1\xA3/");
  EXPECT_EQ(ShellFolderPath(2), home_ + "/Schreibtisch/");
}

TEST_F(TemporaryHome, EveryFolderEndsWithASeparator) {
  for (int index = -1; index <= 8; ++index) {
    const std::string path = ShellFolderPath(index);
    ASSERT_FALSE(path.empty()) << index;
    EXPECT_EQ(path.back(), '/') << index;
    EXPECT_EQ(path.find("//"), std::string::npos) << index;
  }
}

TEST_F(TemporaryHome, FoldersThisPlatformLacksGiveTheSeparatorAlone) {
  for (const int index : {-1, 3, 7, 100, -2147483647 - 1})
    EXPECT_EQ(ShellFolderPath(index), "/") << index;
  EXPECT_EQ(ShellFolderPath(0), home_ + "/Templates/");
  EXPECT_EQ(ShellFolderPath(6), home_ + "/.local/share/applications/");
}

}  // namespace
}  // namespace dt
