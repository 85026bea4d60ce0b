#include "settings/ini_file.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "settings/ini_text.h"
#include "tests/support/temp_folder.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's own count; its header does not come with every compiler.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace dt {
namespace {

namespace fs = std::filesystem;
using testing::FileSizeLimit;
using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;

// Heap bytes in use now, as the allocator counts them.
std::size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

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
  // Nor is a named pipe, which no writer may ever feed: the read returns.
  const std::string pipe = folder_.File("pipe.ini");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(ReadIniValue(pipe, "s", "k", "d"), "d");
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
  if (testing::RerunAsOrdinaryUser()) return;
  WriteBytes(file_, "[s]\r\nk=1\r\n");
  fs::permissions(file_, fs::perms::owner_read);
  EXPECT_FALSE(WriteIniValue(file_, "s", "k", "2"));
  IniAppendWriter writer(file_);
  EXPECT_FALSE(writer.Write("s", "n", "2"));
  EXPECT_EQ(ReadBytes(file_), "[s]\r\nk=1\r\n");
}

// A folder the user may not write to, holding a file the user may write to:
// no temporary file can be made, so every kind of write goes in place.
TEST_F(IniFileTest, AWritableFileInAReadOnlyFolderIsWrittenInPlace) {
  if (testing::RerunAsOrdinaryUser()) return;
  WriteBytes(file_, "[s]\r\nk=1\r\nm=2\r\n");
  fs::permissions(folder_.Path(), fs::perms::owner_read | fs::perms::owner_exec);
  ASSERT_TRUE(WriteIniValue(file_, "s", "k", "10"));
  ASSERT_TRUE(WriteIniValues(file_, "s", {{"m", "3"}, {"n", "4"}}));
  IniAppendWriter writer(file_);
  ASSERT_TRUE(writer.Write("s", "k", "1"));    // shorter: the tail moves up
  ASSERT_TRUE(writer.Write("s", "m", "345"));  // longer
  ASSERT_TRUE(writer.Write("s", "n", "5"));    // same length
  ASSERT_TRUE(writer.Write("s", "o", "6"));    // appended
  EXPECT_EQ(ReadBytes(file_), "[s]\r\nk=1\r\nm=345\r\nn=5\r\no=6\r\n");
  EXPECT_FALSE(WriteIniValue(folder_.File("new.ini"), "s", "k", "v"));  // nothing can be made
  fs::permissions(folder_.Path(), fs::perms::owner_all);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_.Path()), fs::directory_iterator()), 1);
}

TEST_F(IniFileTest, TemporaryFilesOfAnEarlierCrashAreRemovedAtTheNextWrite) {
  const std::vector<std::string> orphans = {"t.ini.0123456789abcdef~", "t.ini.fedcba9876543210~"};
  const std::vector<std::string> kept = {"t.ini.0123456789ABCDEF~", "t.ini.bak~",
                                         "u.ini.0123456789abcdef~", "t.ini.0123456789abcdef"};
  for (const auto& name : orphans) WriteBytes(folder_.File(name), "x");
  for (const auto& name : kept) WriteBytes(folder_.File(name), "x");
  ASSERT_TRUE(WriteIniValue(file_, "s", "k", "v"));
  for (const auto& name : orphans) EXPECT_FALSE(fs::exists(folder_.File(name))) << name;
  for (const auto& name : kept) EXPECT_TRUE(fs::exists(folder_.File(name))) << name;

  // The log writer, which only appends, clears them when it first meets the file.
  WriteBytes(folder_.File(orphans[0]), "x");
  IniAppendWriter writer(file_);
  ASSERT_TRUE(writer.Write("s", "n", "1"));
  EXPECT_FALSE(fs::exists(folder_.File(orphans[0])));
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

// The log writer must leave the file exactly as WriteIniValue would, over new
// keys, replaced keys of every length, new sections, earlier sections, the odd
// lines a hand edit leaves and edits made by someone else between its writes.
TEST_F(IniFileTest, AppendWriterMatchesWriteIniValue) {
  const std::string reference = folder_.File("reference.ini");
  IniAppendWriter writer(file_);
  struct Step {
    std::string section, key, value;
    std::optional<std::string> externalEdit;  // both files are replaced by this first
    unsigned long long cost;                  // the bytes the writer puts into the file
  };
  const std::string longValue(70000, 'x');  // longer than an index slot can say
  const std::string longName(5000, 'q');    // "=" beyond what a line scan keeps
  const std::vector<Step> steps = {
      {"log", "1", "a", {}, 12},
      {"log", "2", "b", {}, 5},
      {"LOG", "1", "c", {}, 1},                          // same length, in place
      {"log", "1", "a2", {}, 2},                         // longer: later values move
      {"log", "2", "b", {}, 0},                          // unchanged
      {"log", "2", "", {}, 0},                           // shorter
      {"other", "x", "1", {}, 14},                       // new section
      {"log", "3", "c", {}, 36},                         // section not last
      {"other", "y", "", {}, 4},                         // empty value
      {"other", "z", "1", "[other]\r\nx=1\r\n\r\n", 5},  // trailing blank line
      {"other", "z2", "1", {}, 6},
      {"other", "w", "1", "[other]\r\nx=9", 7},   // shorter file, no final break
      {"other", "v", "1", "[xther]\r\nx=9", 16},  // same size, different bytes
      {"new", "k", "1", "", 12},                  // emptied by someone else
      {"new", "k2", "1", {}, 6},
      {"log", "k", "v", "[log]\r\n K \r\nz=1\r\n", 2},  // a name alone
      {"log", "z", "22", {}, 2},
      {"log", "b", "1", "[log]\r\na=1\r\n[x\r\n", 5},  // an unclosed header
      {"x", "b", "1", {}, 10},
      {"log", "k", "short", "[log]\r\nk=" + longValue + "\r\nm=1\r\n", 5},
      {"log", "m", "22", {}, 2},
      {"log", "n", "3", {}, 5},
      {"log", "k", "v", "[log]\r\n" + longName + "=1\r\nk=2\r\n", 5016},
      {"log", "a", "33", "[log]\ra=1\rb=2\r", 2},  // CR-only lines
      {"log", "c", "4", {}, 5},
      {"log", "k", "9", "[log]\r\nk=1\r\nk=2\r\n", 1},                 // the first of two wins
      {"log", "k", "10", "[log]\r\n[other]\r\n[log]\r\nk=1\r\n", 34},  // repeated section
      {"log", "k", "7", "k=1\r\n[log]\r\n", 5},                        // a key before any section
      {"log", "n", "1", "[log]\r\nk=1\r", 5},                          // a bare CR at the end
      {"log", "k", "22", {}, 2},
      {"new", "a", "1", "[log]\r\nk=1\r", 12},
      {"log", "n", "1", "[log]\r\nk=1\r\n\r", 5},
      {"new", "n", "1", "\r", 12},
  };
  int index = 0;
  for (const Step& step : steps) {
    if (step.externalEdit) {
      WriteBytes(file_, *step.externalEdit);
      WriteBytes(reference, *step.externalEdit);
      // An edit of the same size within the clock's resolution is still seen.
      fs::last_write_time(file_, fs::last_write_time(file_) - std::chrono::seconds(10 + index));
    }
    const auto before = writer.BytesWritten();
    EXPECT_EQ(writer.Write(step.section, step.key, step.value),
              WriteIniValue(reference, step.section, step.key, step.value));
    EXPECT_EQ(writer.BytesWritten() - before, step.cost) << "step " << index;
    ASSERT_EQ(ReadBytes(file_), ReadBytes(reference)) << "step " << index;
    ++index;
  }
}

// A run over numbers the log already holds: the same value costs no write, a
// value of the same length costs only its own bytes, in the same file.
TEST_F(IniFileTest, AppendWriterWritesOnlyWhatChanged) {
  IniAppendWriter writer(file_);
  ASSERT_TRUE(writer.Write("log", "1", "(2009-01-01)alpha"));
  ASSERT_TRUE(writer.Write("log", "2", "(2009-01-02)beta"));
  const auto identity = [this] {
    struct stat st {};
    ::stat(file_.c_str(), &st);
    return st.st_ino;
  };
  const auto inode = identity();
  const unsigned long long before = writer.BytesWritten();
  ASSERT_TRUE(writer.Write("log", "1", "(2009-01-01)alpha"));
  EXPECT_EQ(writer.BytesWritten(), before);
  ASSERT_TRUE(writer.Write("log", "1", "(2009-01-01)gamma"));
  EXPECT_EQ(writer.BytesWritten(), before + 17);
  EXPECT_EQ(identity(), inode);
  EXPECT_EQ(ReadBytes(file_), "[log]\r\n1=(2009-01-01)gamma\r\n2=(2009-01-02)beta\r\n");
}

// Ten million shops: the index is built by streaming the file and stays
// within 64 bytes a key.
TEST_F(IniFileTest, AppendWriterIndexesTenMillionKeysInLittleMemory) {
  constexpr int kKeys = 10000000;
  {
    std::string chunk = "[log]\r\n";
    std::ofstream out(file_, std::ios::binary);
    for (int k = 0; k < kKeys; ++k) {
      chunk += std::to_string(k);
      chunk += "=(2009-01-01)s\r\n";
      if (chunk.size() > (1u << 20)) {
        out << chunk;
        chunk.clear();
      }
    }
    out << chunk;
  }
  const std::size_t heapBefore = HeapInUse();
  IniAppendWriter writer(file_);
  ASSERT_TRUE(writer.Write("log", "9999999", "(2009-01-01)s"));  // present: nothing written
  EXPECT_EQ(writer.BytesWritten(), 0u);
  ASSERT_TRUE(writer.Write("log", "new", "1"));
  EXPECT_EQ(writer.IndexedKeys(), static_cast<std::size_t>(kKeys) + 1);
  EXPECT_LE(HeapInUse() - heapBefore, std::size_t{kKeys} * 64);
  EXPECT_EQ(ReadIniValue(file_, "log", "new", ""), "");  // beyond the whole-file reader's cap
  ASSERT_TRUE(writer.Write("log", "0", "(2009-01-01)t"));
  std::string tail;
  {
    std::ifstream in(file_, std::ios::binary);
    std::string head(32, '\0');
    in.read(head.data(), 32);
    EXPECT_EQ(head.substr(0, 24), "[log]\r\n0=(2009-01-01)t\r\n");
    in.seekg(-9, std::ios::end);
    tail.resize(9);
    in.read(tail.data(), 9);
  }
  EXPECT_EQ(tail, "\r\nnew=1\r\n");
}

TEST_F(IniFileTest, AppendWriterFollowsADeletedOrReplacedFile) {
  IniAppendWriter writer(file_);
  ASSERT_TRUE(writer.Write("s", "a", "1"));
  fs::remove(file_);
  ASSERT_TRUE(writer.Write("s", "b", "2"));
  EXPECT_EQ(ReadBytes(file_), "[s]\r\nb=2\r\n");
  // An editor that saves by renaming a new file over the old one: the writer
  // must not go on appending to the old file it holds open.
  const std::string edited = folder_.File("edited.ini");
  WriteBytes(edited, "[s]\r\nb=3\r\n");
  fs::rename(edited, file_);
  ASSERT_TRUE(writer.Write("s", "c", "4"));
  EXPECT_EQ(ReadBytes(file_), "[s]\r\nb=3\r\nc=4\r\n");
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
