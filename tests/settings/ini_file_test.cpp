#include "settings/ini_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "settings/ini_text.h"
#include "tests/settings/temp_folder.h"

namespace dt {
namespace {

namespace fs = std::filesystem;
using testing::FileSizeLimit;
using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;

class IniFileTest : public ::testing::Test {
 protected:
  TempFolder folder_;
  std::string file_ = folder_.File("t.ini");
};

TEST_F(IniFileTest, MissingFileGivesTheDefault) {
  EXPECT_EQ(ReadIniValue(file_, "s", "k", "dflt"), "dflt");
  EXPECT_EQ(ReadIniValue(file_, "s", "k", ""), "");
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(IniFileTest, EmptyNamesGiveTheEmptyTextNotTheDefault) {
  WriteBytes(file_, "[s]\r\nk=v\r\n");
  EXPECT_EQ(ReadIniValue(file_, " \t", "k", "dflt"), "");
  EXPECT_EQ(ReadIniValue(file_, "s", "  ", "dflt"), "");
  EXPECT_EQ(ReadIniValue("  ", "s", "k", "dflt"), "");
  // Leading blanks of all three are ignored.
  EXPECT_EQ(ReadIniValue("  " + file_, " s", "\tk", "dflt"), "v");
  EXPECT_FALSE(WriteIniValue(file_, " ", "k", "v"));
  EXPECT_FALSE(WriteIniValue(file_, "s", "", "v"));
  EXPECT_FALSE(WriteIniValue(" ", "s", "k", "v"));
  EXPECT_EQ(ReadBytes(file_), "[s]\r\nk=v\r\n");
}

TEST_F(IniFileTest, CreatesTheFileAndReadsBackWhatItWrote) {
  const std::string value = "\xB1\xE0\xBA\xC5^x&1^";  // 编号^x&1^
  ASSERT_TRUE(WriteIniValue(file_, "Dovetrail", "\xB1\xE0\xBC\xAD\xBF\xF2", value));
  ASSERT_TRUE(WriteIniValue(file_, "Dovetrail", "empty", ""));
  EXPECT_EQ(ReadBytes(file_),
            "[Dovetrail]\r\n\xB1\xE0\xBC\xAD\xBF\xF2=" + value + "\r\nempty=\r\n");
  EXPECT_EQ(ReadIniValue(file_, "dovetrail", "\xB1\xE0\xBC\xAD\xBF\xF2", ""), value);
  EXPECT_EQ(ReadIniValue(file_, "Dovetrail", "empty", "dflt"), "");
}

TEST_F(IniFileTest, WritesKeepOtherSectionsByteForByte) {
  const std::string before = "; own notes\n[a]\n  x = 1 \n\n[Dovetrail]\r\nk=1\r\n\r\n[b]\ry=2";
  WriteBytes(file_, before);
  ASSERT_TRUE(WriteIniValue(file_, "Dovetrail", "k", "2"));
  ASSERT_TRUE(WriteIniValue(file_, "Dovetrail", "n", "3"));
  EXPECT_EQ(ReadBytes(file_),
            "; own notes\n[a]\n  x = 1 \n\n[Dovetrail]\r\nk=2\r\nn=3\r\n\r\n[b]\ry=2");
}

TEST_F(IniFileTest, LineBreaksInAValueCannotInjectLines) {
  ASSERT_TRUE(WriteIniValue(file_, "s", "k", "a\r\n[x]\r\ny=1"));
  EXPECT_EQ(ReadIniValue(file_, "s", "k", ""), "a[x]y=1");
  EXPECT_EQ(ReadIniValue(file_, "x", "y", "none"), "none");
}

TEST_F(IniFileTest, MissingFolderFails) {
  EXPECT_FALSE(WriteIniValue(folder_.File("no/such/t.ini"), "s", "k", "v"));
  EXPECT_FALSE(fs::exists(folder_.File("no")));
}

TEST_F(IniFileTest, ADirectoryIsNeitherReadNorReplaced) {
  fs::create_directory(file_);
  EXPECT_EQ(ReadIniValue(file_, "s", "k", "d"), "d");
  EXPECT_FALSE(WriteIniValue(file_, "s", "k", "v"));
  EXPECT_TRUE(fs::is_directory(file_));
}

TEST_F(IniFileTest, FailedWriteLeavesTheOldFileWhole) {
  const std::string before = "[s]\r\nk=" + std::string(1000, 'x') + "\r\n";
  WriteBytes(file_, before);
  {
    // The new file would outgrow the limit, so writing the temporary file fails.
    FileSizeLimit limit(1500);
    EXPECT_FALSE(WriteIniValue(file_, "s", "k", std::string(2000, 'y')));
    EXPECT_FALSE(WriteIniValue(file_, "s", "new", std::string(2000, 'y')));
    EXPECT_FALSE(WriteIniValues(file_, "s", {{"a", "1"}, {"b", std::string(2000, 'z')}}));
  }
  EXPECT_EQ(ReadBytes(file_), before);
  // No temporary files are left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_.Path()), fs::directory_iterator()), 1);
}

TEST_F(IniFileTest, ReadOnlyFileIsNotReplaced) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores permission bits";
  WriteBytes(file_, "[s]\r\nk=1\r\n");
  fs::permissions(file_, fs::perms::owner_read);
  EXPECT_FALSE(WriteIniValue(file_, "s", "k", "2"));
  EXPECT_EQ(ReadBytes(file_), "[s]\r\nk=1\r\n");
}

TEST_F(IniFileTest, KeepsTheFilePermissions) {
  WriteBytes(file_, "[s]\r\nk=1\r\n");
  fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(WriteIniValue(file_, "s", "k", "2"));
  EXPECT_EQ(fs::status(file_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(IniFileTest, WritesThroughASymbolicLink) {
  const std::string target = folder_.File("real.ini");
  WriteBytes(target, "[s]\r\nk=1\r\n");
  fs::create_symlink(target, file_);
  ASSERT_TRUE(WriteIniValue(file_, "s", "k", "2"));
  EXPECT_TRUE(fs::is_symlink(file_));
  EXPECT_EQ(ReadBytes(target), "[s]\r\nk=2\r\n");
}

TEST_F(IniFileTest, OversizedFileIsNeitherParsedNorRewritten) {
  WriteBytes(file_, "[s]\r\nk=v\r\n");
  fs::resize_file(file_, ini::kMaxFileBytes + 1);  // sparse: cheap to make
  EXPECT_EQ(ReadIniValue(file_, "s", "k", "d"), "d");
  EXPECT_FALSE(WriteIniValue(file_, "s", "k", "w"));
  IniAppendWriter writer(file_);
  EXPECT_FALSE(writer.Write("s", "n", "w"));
  EXPECT_EQ(fs::file_size(file_), ini::kMaxFileBytes + 1);
}

// The same writes, key by key and as one batch, give the same bytes.
TEST_F(IniFileTest, BatchWriteEqualsKeyByKeyWrites) {
  const std::vector<std::string> starts = {
      "", "[other]\r\nk=1", "[Dovetrail]\r\nb=old\r\n\r\n[x]\r\n", "[DOVETRAIL]\nc=1\n"};
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"a", "1"}, {"b", ""}, {"c", "\xD5\xE6"}, {"a", "2"}, {" d", "4 "}, {"B", "5"}};
  for (const std::string& start : starts) {
    const std::string single = folder_.File("single.ini");
    const std::string batch = folder_.File("batch.ini");
    WriteBytes(single, start);
    WriteBytes(batch, start);
    for (const auto& [key, value] : entries)
      ASSERT_TRUE(WriteIniValue(single, "Dovetrail", key, value));
    ASSERT_TRUE(WriteIniValues(batch, "Dovetrail", entries));
    EXPECT_EQ(ReadBytes(batch), ReadBytes(single)) << start;
  }
}

TEST_F(IniFileTest, SnapshotReadsLikeReadIniValue) {
  WriteBytes(file_, "[s]\r\na=1\r\nb=\"2\"\r\n");
  const IniSnapshot snapshot(file_);
  for (const char* key : {"a", "b", "c", " A"}) {
    EXPECT_EQ(snapshot.Read("s", key, "d"), ReadIniValue(file_, "s", key, "d")) << key;
  }
  EXPECT_EQ(IniSnapshot(folder_.File("none.ini")).Read("s", "a", "d"), "d");
}

// The append writer must leave the file exactly as WriteIniValue would, over
// new keys, replaced keys, new sections, earlier sections and edits made by
// someone else between its writes.
TEST_F(IniFileTest, AppendWriterMatchesWriteIniValue) {
  const std::string reference = folder_.File("reference.ini");
  IniAppendWriter writer(file_);
  struct Step {
    const char* section;
    const char* key;
    const char* value;
    const char* externalEdit;  // when set, both files are replaced by this first
  };
  const Step steps[] = {
      {"log", "1", "a", nullptr},
      {"log", "2", "b", nullptr},
      {"LOG", "1", "a2", nullptr},                    // replace
      {"other", "x", "1", nullptr},                   // new section
      {"log", "3", "c", nullptr},                     // section not last
      {"other", "y", "", nullptr},                    // empty value
      {"other", "z", "1", "[other]\r\nx=1\r\n\r\n"},  // trailing blank line: rewrite
      {"other", "w", "1", "[other]\r\nx=9"},          // shorter file, no final break
      {"other", "v", "1", "[xther]\r\nx=9"},          // same size, different bytes
      {"new", "k", "1", ""},                          // emptied by someone else
      {"new", "k2", "1", nullptr},
  };
  int index = 0;
  for (const Step& step : steps) {
    if (step.externalEdit) {
      WriteBytes(file_, step.externalEdit);
      WriteBytes(reference, step.externalEdit);
      // An edit of the same size within the clock's resolution is still seen.
      fs::last_write_time(file_, fs::last_write_time(file_) - std::chrono::seconds(10 + index));
    }
    EXPECT_EQ(writer.Write(step.section, step.key, step.value),
              WriteIniValue(reference, step.section, step.key, step.value));
    ASSERT_EQ(ReadBytes(file_), ReadBytes(reference)) << "step " << index;
    ++index;
  }
}

TEST_F(IniFileTest, AppendWriterRecreatesADeletedFile) {
  IniAppendWriter writer(file_);
  ASSERT_TRUE(writer.Write("s", "a", "1"));
  fs::remove(file_);
  ASSERT_TRUE(writer.Write("s", "b", "2"));
  EXPECT_EQ(ReadBytes(file_), "[s]\r\nb=2\r\n");
}

TEST_F(IniFileTest, AppendWriterFailureLeavesTheFileAsItWas) {
  IniAppendWriter writer(file_);
  ASSERT_TRUE(writer.Write("s", "a", "1"));
  const std::string before = ReadBytes(file_);
  {
    FileSizeLimit limit(before.size() + 10);
    EXPECT_FALSE(writer.Write("s", "b", std::string(100, 'x')));  // append cut short
    EXPECT_FALSE(writer.Write("s", "a", std::string(100, 'x')));  // rewrite refused
  }
  EXPECT_EQ(ReadBytes(file_), before);
  ASSERT_TRUE(writer.Write("s", "c", "3"));
  EXPECT_EQ(ReadBytes(file_), before + "c=3\r\n");

  // A writer that meets the file for the first time cuts a failed append back too.
  const std::string now = ReadBytes(file_);
  {
    FileSizeLimit limit(now.size() + 10);
    IniAppendWriter fresh(file_);
    EXPECT_FALSE(fresh.Write("s", "d", std::string(100, 'x')));
  }
  EXPECT_EQ(ReadBytes(file_), now);
}

// 100k new keys: each one costs its own line, never a rewrite of the file.
TEST_F(IniFileTest, AppendingManyKeysIsLinear) {
  constexpr int kKeys = 100000;
  IniAppendWriter writer(file_);
  unsigned long long expected = 0;
  for (int i = 0; i < kKeys; ++i) {
    const std::string key = std::to_string(67808220 + i);
    const std::string value = "seller" + key + "|name|http://shop" + key + ".taobao.com/";
    ASSERT_TRUE(writer.Write("log", key, value));
    expected += key.size() + 1 + value.size() + 2;
  }
  expected += std::string("[log]\r\n").size();
  EXPECT_EQ(writer.BytesWritten(), expected);
  EXPECT_EQ(fs::file_size(file_), expected);
  EXPECT_EQ(ReadIniValue(file_, "log", "67808220", ""),
            "seller67808220|name|http://shop67808220.taobao.com/");
  EXPECT_EQ(ReadIniValue(file_, "log", std::to_string(67808220 + kKeys - 1), "").substr(0, 6),
            "seller");
}

}  // namespace
}  // namespace dt
