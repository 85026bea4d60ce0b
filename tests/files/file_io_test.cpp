#include "files/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "files/call_faults.h"
#include "tests/support/temp_folder.h"

namespace dt {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;

enum class Op { Replace, Splice, Overwrite, Append, ReplaceStreamed };

struct Case {
  const char* what;
  Op op;
  std::optional<std::string> before;  // nullopt: no file there
  std::uint64_t at;
  std::uint64_t erase;
  std::string bytes;
  std::optional<std::string> after;  // nullopt: refused, the file stays as it was
};

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
const std::string kTen = "0123456789";
const std::optional<std::string> kNone;

const std::vector<Case> kCases = {
    {"replace grows", Op::Replace, kTen, 0, 0, "0123456789abc", "0123456789abc"},
    {"replace shrinks", Op::Replace, kTen, 0, 0, "xy", "xy"},
    {"replace same length", Op::Replace, kTen, 0, 0, "abcdefghij", "abcdefghij"},
    {"replace empties", Op::Replace, kTen, 0, 0, "", ""},
    {"replace makes a missing file", Op::Replace, kNone, 0, 0, "new", "new"},
    {"splice grows", Op::Splice, kTen, 3, 2, "abcd", "012abcd56789"},
    {"splice shrinks", Op::Splice, kTen, 3, 4, "x", "012x789"},
    {"splice same length", Op::Splice, kTen, 3, 2, "xy", "012xy56789"},
    {"splice at the start", Op::Splice, kTen, 0, 0, "ab", "ab0123456789"},
    {"splice at the end", Op::Splice, kTen, 10, 0, "ab", "0123456789ab"},
    {"splice erases to the end", Op::Splice, kTen, 4, 6, "", "0123"},
    {"splice starts past the end", Op::Splice, kTen, 11, 0, "ab", kNone},
    {"splice erases past the end", Op::Splice, kTen, 5, 6, "", kNone},
    {"splice erase wraps around", Op::Splice, kTen, 4, kMax, "", kNone},
    {"splice start wraps around", Op::Splice, kTen, kMax, 2, "", kNone},
    {"splice of a missing file", Op::Splice, kNone, 0, 0, "ab", kNone},
    {"overwrite inside", Op::Overwrite, kTen, 2, 0, "xy", "01xy456789"},
    {"overwrite the last byte", Op::Overwrite, kTen, 9, 0, "x", "012345678x"},
    {"overwrite runs past the end", Op::Overwrite, kTen, 8, 0, "xyz", "01234567xyz"},
    {"overwrite of a missing file", Op::Overwrite, kNone, 0, 0, "ab", kNone},
    {"append", Op::Append, kTen, 0, 0, "ab", "0123456789ab"},
    {"append nothing", Op::Append, kTen, 0, 0, "", kTen},
    {"append makes a missing file", Op::Append, kNone, 0, 0, "ab", "ab"},
    {"streamed replace grows", Op::ReplaceStreamed, kTen, 0, 0, "0123456789abc", "0123456789abc"},
    {"streamed replace shrinks", Op::ReplaceStreamed, kTen, 0, 0, "xy", "xy"},
    {"streamed replace makes a missing file", Op::ReplaceStreamed, kNone, 0, 0, "new", "new"},
};

bool RunCase(const Case& c, const fs::path& path) {
  switch (c.op) {
    case Op::Replace:
      return ReplaceFile(path, c.bytes);
    case Op::Splice:
      return SpliceFile(path, c.at, c.erase, c.bytes);
    case Op::Overwrite:
      return OverwriteInPlace(path, c.at, c.bytes);
    case Op::Append:
      return AppendToFile(path, c.bytes);
    case Op::ReplaceStreamed:
      return ReplaceFileStreamed(path, [&c](const ByteSink& sink) { return sink(c.bytes); });
  }
  return false;
}

// Not 0600, the mode a temporary file is made with: a replacement must carry
// the old file's mode over.
constexpr mode_t kMode = 0640;

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

// What the folder must hold: the file with `content` (and `mode` when given),
// or nothing; nothing else.
void ExpectFile(const fs::path& folder, const fs::path& file,
                const std::optional<std::string>& content, std::optional<mode_t> mode) {
  if (!content) {
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(Names(folder).empty());
    return;
  }
  EXPECT_EQ(ReadBytes(file), *content);
  if (mode) {
    EXPECT_EQ(ModeOf(file), *mode);
  }
  EXPECT_EQ(Names(folder), std::vector<std::string>{file.filename()});
}

enum class Setting { Normal, ReadOnlyFolder, ReadOnlyFile };

// Every operation with growing, shrinking and equal content and at its bounds,
// in a normal folder, in a read-only folder holding a writable file (every
// write then goes in place) and on a file that may not be written.
TEST(FileIoTest, EveryOperationInEveryFolder) {
  if (testing::RerunAsOrdinaryUser()) return;
  for (const Setting setting : {Setting::Normal, Setting::ReadOnlyFolder, Setting::ReadOnlyFile}) {
    for (const Case& c : kCases) {
      SCOPED_TRACE(std::string(c.what) + " setting " + std::to_string(static_cast<int>(setting)));
      TempFolder folder;
      const fs::path file = folder.Path() / "t";
      const mode_t mode = setting == Setting::ReadOnlyFile ? 0440 : kMode;
      if (c.before) {
        WriteBytes(file, *c.before);
        ASSERT_EQ(::chmod(file.c_str(), mode), 0);
      }
      if (setting == Setting::ReadOnlyFolder) {
        ASSERT_EQ(::chmod(folder.Path().c_str(), 0500), 0);
      }
      std::optional<std::string> expected = c.after;
      if (setting == Setting::ReadOnlyFolder && !c.before) expected = kNone;  // nothing can be made
      if (setting == Setting::ReadOnlyFile && c.before) expected = kNone;
      EXPECT_EQ(RunCase(c, file), expected.has_value());
      ::chmod(folder.Path().c_str(), 0700);
      ExpectFile(folder.Path(), file, expected ? expected : c.before,
                 c.before ? std::optional<mode_t>(mode) : std::nullopt);
    }
  }
}

// Reads at their bounds: a file of exactly the cap is read, one byte more is
// not; a range running past the end gives what there is.
TEST(FileIoTest, ReadsHoldAtTheirBounds) {
  TempFolder folder;
  const fs::path file = folder.Path() / "t";
  WriteBytes(file, kTen);
  std::string out = "stale";
  EXPECT_EQ(ReadWholeFile(file, out, 10), ReadStatus::Ok);
  EXPECT_EQ(out, kTen);
  EXPECT_EQ(ReadWholeFile(file, out, 9), ReadStatus::Failed);
  EXPECT_EQ(out, "");
  EXPECT_EQ(ReadWholeFile(folder.Path() / "none", out, 10), ReadStatus::Missing);
  EXPECT_EQ(ReadWholeFile(folder.Path(), out, 10), ReadStatus::Failed);
  const struct {
    std::uint64_t at, length;
    const char* bytes;
  } ranges[] = {{0, 10, "0123456789"},
                {8, 5, "89"},
                {10, 1, ""},
                {11, 1, ""},
                {std::uint64_t{1} << 62, 1, ""}};
  for (const auto& r : ranges) {
    EXPECT_TRUE(ReadFileRange(file, r.at, r.length, out)) << r.at;
    EXPECT_EQ(out, r.bytes) << r.at;
  }
}

// Only what an interrupted replacement of this very file leaves is removed; a
// user's file that merely looks like one stays.
TEST(FileIoTest, OnlyRealTemporariesAreCleared) {
  struct Name {
    const char* name;
    bool removed;
  };
  const std::vector<Name> names = {
      {"t.0123456789abcdef~", true},    {"t.fedcba9876543210~", true},
      {"t.0123456789ABCDEF~", false},   {"t.0123456789abcde~", false},
      {"t.0123456789abcdef0~", false},  {"t.0123456789abcdeg~", false},
      {"t.0123456789abcdef", false},    {"t_0123456789abcdef~", false},
      {"xt.0123456789abcdef~", false},  {"u.0123456789abcdef~", false},
      {"t.x.0123456789abcdef~", false}, {"t.0123456789abcdef~~", false},
  };
  TempFolder folder;
  const fs::path file = folder.Path() / "t";
  WriteBytes(file, "old");
  for (const Name& n : names) WriteBytes(folder.Path() / n.name, "user");
  ASSERT_TRUE(ReplaceFile(file, "new"));
  for (const Name& n : names) EXPECT_EQ(fs::exists(folder.Path() / n.name), !n.removed) << n.name;
  EXPECT_EQ(ReadBytes(file), "new");
  EXPECT_EQ(Names(folder.Path()).size(), 1 + 10u);
}

// The plan of one injected failure: the n-th call of one kind fails with EIO.
struct FaultPlan {
  FileCall call = FileCall::Open;
  int n = 0;
  int seen = 0;
  bool fired = false;
};
FaultPlan gPlan;

int FailNthCall(FileCall call) {
  if (call != gPlan.call || ++gPlan.seen != gPlan.n) return 0;
  gPlan.fired = true;
  return EIO;
}

// Runs every succeeding case of the table with its n-th open, write, fsync,
// rename or truncate failing, for every n the operation reaches; gives each
// run's result and whether the file then held its old bytes.
template <typename Check>
void ForEveryFailure(bool readOnlyFolder, Check check) {
  for (const Case& c : kCases) {
    if (!c.after || (readOnlyFolder && !c.before)) continue;
    for (const FileCall call :
         {FileCall::Open, FileCall::Write, FileCall::Fsync, FileCall::Rename, FileCall::Truncate}) {
      for (int n = 1;; ++n) {
        SCOPED_TRACE(std::string(c.what) + ": call " + std::to_string(static_cast<int>(call)) +
                     " fails the " + std::to_string(n) + ". time");
        TempFolder folder;
        const fs::path file = folder.Path() / "t";
        if (c.before) {
          WriteBytes(file, *c.before);
          ASSERT_EQ(::chmod(file.c_str(), kMode), 0);
        }
        if (readOnlyFolder) {
          ASSERT_EQ(::chmod(folder.Path().c_str(), 0500), 0);
        }
        gPlan = FaultPlan{call, n};
        SetFileCallFault(FailNthCall);
        const bool ok = RunCase(c, file);
        SetFileCallFault(nullptr);
        ::chmod(folder.Path().c_str(), 0700);
        if (!gPlan.fired) {  // past the last such call: the operation ran whole
          EXPECT_TRUE(ok);
          ExpectFile(folder.Path(), file, c.after, std::nullopt);
          break;
        }
        check(c, ok, folder.Path(), file);
      }
    }
  }
}

TEST(FileIoTest, AFailedCallLeavesTheOldFileByteForByte) {
  int failures = 0;
  ForEveryFailure(false, [&](const Case& c, bool ok, const fs::path& folder, const fs::path& file) {
    ++failures;
    EXPECT_FALSE(ok);
    ExpectFile(folder, file, c.before, c.before ? std::optional<mode_t>(kMode) : std::nullopt);
  });
  EXPECT_GT(failures, 50);
}

// In place the old bytes cannot always be kept, but no failure may be
// reported as success.
TEST(FileIoTest, AFailedCallInPlaceIsReported) {
  if (testing::RerunAsOrdinaryUser()) return;
  int failures = 0;
  ForEveryFailure(true, [&](const Case&, bool ok, const fs::path&, const fs::path&) {
    ++failures;
    EXPECT_FALSE(ok);
  });
  EXPECT_GT(failures, 20);
}

}  // namespace
}  // namespace dt
