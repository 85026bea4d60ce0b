// A private folder under the system's temporary folder for one test, removed
// with everything in it when the test ends, plus small whole-file helpers.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dt::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dt-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::string File(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// While alive, HOME and the XDG folders point at a fresh temporary folder, so
// the standard locations never reach the user's own ones; the old values come
// back at the end.
class TemporaryHome {
 public:
  TemporaryHome() : home_(folder_.Path().string()) {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_DOCUMENTS_DIR"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    ::setenv("HOME", home_.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home_ + "/.config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home_ + "/.local/share").c_str(), 1);
    ::unsetenv("XDG_DOCUMENTS_DIR");
  }
  ~TemporaryHome() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  const std::string& Path() const { return home_; }

 private:
  TempFolder folder_;
  std::string home_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// While alive, HOME is unset or empty, as for a service account without one.
class NoHome {
 public:
  explicit NoHome(bool empty = false) {
    if (const char* home = std::getenv("HOME")) saved_ = home;
    if (empty) {
      ::setenv("HOME", "", 1);
    } else {
      ::unsetenv("HOME");
    }
  }
  ~NoHome() {
    if (saved_) ::setenv("HOME", saved_->c_str(), 1);
  }
  NoHome(const NoHome&) = delete;
  NoHome& operator=(const NoHome&) = delete;

 private:
  std::optional<std::string> saved_;
};

// While alive, no file of this process may grow past `bytes`: writes beyond it
// fail (EFBIG) even for root, which ignores permission bits. SIGXFSZ is ignored
// so the failure comes back as an error instead of ending the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  void (*oldHandler_)(int) = nullptr;
};

// Root ignores permission bits, so a test of a read-only file or folder means
// nothing as root. Called first in such a test: as root it runs this very test
// again in a child process as an ordinary user (uid and gid 65534, through
// setpriv) from a copy of the test binary that user may execute, reports the
// child's failure as this test's, and returns true (the caller returns at
// once); as an ordinary user it returns false and the test goes on.
inline bool RerunAsOrdinaryUser() {
  if (::geteuid() != 0) return false;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  std::string folder = (std::filesystem::temp_directory_path() / "dt-user-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) {
    ADD_FAILURE() << "no folder for the test binary";
    return true;
  }
  ::chmod(folder.c_str(), 0755);
  const std::string binary = folder + "/test";
  std::error_code ec;
  std::filesystem::copy_file(std::filesystem::read_symlink("/proc/self/exe", ec), binary, ec);
  if (ec) {
    ADD_FAILURE() << "cannot copy the test binary: " << ec.message();
    return true;
  }
  ::chmod(binary.c_str(), 0755);
  const pid_t child = ::fork();
  if (child == 0) {
    const char* argv[] = {"setpriv",      "--reuid=65534", "--regid=65534", "--clear-groups",
                          binary.c_str(), filter.c_str(),  nullptr};
    ::execvp("setpriv", const_cast<char* const*>(argv));
    ::_exit(127);
  }
  int status = 0;
  if (child > 0) ::waitpid(child, &status, 0);
  std::filesystem::remove_all(folder, ec);
  EXPECT_TRUE(child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the test failed as an ordinary user (status " << status << ")";
  return true;
}

}  // namespace dt::testing
