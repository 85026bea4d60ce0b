#include "export/special_folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "files/user_folders.h"
#include "tests/support/temp_folder.h"

namespace dt {
namespace {

// Points HOME and the XDG folders at a temporary folder for one test, so the
// user's own folders are never looked at.
class TemporaryHome : public ::testing::Test {
 protected:
  testing::TemporaryHome temporaryHome_;
  std::string home_ = temporaryHome_.Path();
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

// Without a home folder the standard locations would point at the root of the
// file system; no folder is known then.
TEST_F(TemporaryHome, WithoutAHomeNoFolderIsKnown) {
  for (const bool empty : {false, true}) {
    testing::NoHome noHome(empty);
    for (int index = 0; index <= 6; ++index) EXPECT_EQ(ShellFolderPath(index), "/") << index;
    EXPECT_EQ(UserFolderPath(UserFolder::Data), "");
    EXPECT_EQ(WritableProgramFolder(""), "");
  }
  EXPECT_EQ(UserFolderPath(UserFolder::Data), home_ + "/.local/share/dovetrail/");
}

}  // namespace
}  // namespace dt
