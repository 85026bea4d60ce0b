#include "files/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "files/call_faults.h"
#include "text/failure_log.h"

namespace dt {
namespace fs = std::filesystem;
namespace {

constexpr std::size_t kChunk = 256 * 1024;

std::atomic<FileCallFault> gFault{nullptr};

// True, with errno set, when a test's hook fails this call.
bool Injected(FileCall call) {
  const FileCallFault hook = gFault.load(std::memory_order_relaxed);
  if (hook == nullptr) [[likely]]
    return false;
  const int error = hook(call);
  if (error == 0) return false;
  errno = error;
  return true;
}

bool Fsync(int fd) {
  return !Injected(FileCall::Fsync) && ::fsync(fd) == 0;
}

bool Truncate(int fd, std::uint64_t length) {
  return !Injected(FileCall::Truncate) && ::ftruncate(fd, static_cast<off_t>(length)) == 0;
}

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // The result of close() matters after writes: a deferred write error shows up here.
  bool Close() {
    if (fd_ < 0) return true;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

int OpenUnchecked(const fs::path& path, int flags, mode_t mode = 0666) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int OpenFile(const fs::path& path, int flags, mode_t mode = 0666) {
  return Injected(FileCall::Open) ? -1 : OpenUnchecked(path, flags, mode);
}

// Opening a named pipe for reading would wait for a writer for ever: the open
// does not wait, and the callers refuse anything but a regular file.
int OpenForReading(const fs::path& path) {
  return OpenFile(path, O_RDONLY | O_NONBLOCK);
}

bool WriteAll(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    if (Injected(FileCall::Write)) return false;
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

bool PwriteAll(int fd, std::string_view bytes, std::uint64_t at) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    if (Injected(FileCall::Write)) return false;
    const ssize_t n = ::pwrite(fd, p, left, static_cast<off_t>(at));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
    at += static_cast<std::uint64_t>(n);
  }
  return true;
}

// Copies bytes [from, from + length) of in to the end of out; length may run
// past the end of in (everything to the end is copied).
bool CopyRange(int in, std::uint64_t from, std::uint64_t length, int out) {
  std::vector<char> buffer(kChunk);
  while (length > 0) {
    const std::size_t want = length < kChunk ? static_cast<std::size_t>(length) : kChunk;
    const ssize_t n = ::pread(in, buffer.data(), want, static_cast<off_t>(from));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!WriteAll(out, std::string_view(buffer.data(), static_cast<std::size_t>(n)))) return false;
    from += static_cast<std::uint64_t>(n);
    length -= static_cast<std::uint64_t>(n);
  }
  return true;
}

bool ReadRange(int fd, std::uint64_t from, std::string& out) {
  std::vector<char> buffer(kChunk);
  for (;;) {
    const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(from));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out.append(buffer.data(), static_cast<std::size_t>(n));
    from += static_cast<std::uint64_t>(n);
  }
}

// The file a write must change: a symbolic link is followed.
fs::path WriteTarget(const fs::path& path) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(path, ec))) {
    fs::path target = fs::weakly_canonical(path, ec);
    if (!ec) return target;
  }
  return path;
}

bool IsOurTemporaryName(std::string_view candidate, std::string_view fileName) {
  if (candidate.size() != fileName.size() + 18) return false;
  if (candidate.substr(0, fileName.size()) != fileName) return false;
  if (candidate[fileName.size()] != '.' || candidate.back() != '~') return false;
  for (std::size_t i = fileName.size() + 1; i + 1 < candidate.size(); ++i) {
    const char c = candidate[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// A fresh temporary file beside target, or an invalid Fd with errno set.
Fd CreateTemporary(const fs::path& target, fs::path& temp) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 8; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx~", static_cast<unsigned long long>(random()));
    temp = target;
    temp += suffix;
    Fd fd(OpenFile(temp, O_WRONLY | O_CREAT | O_EXCL, 0600));
    if (fd.ok() || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return Fd();
}

// The folder's entry is made durable too; a failure here loses nothing that
// the rename has not already put in place, so it is not reported.
void SyncFolder(const fs::path& folder) {
  Fd fd(OpenUnchecked(folder.empty() ? fs::path(".") : folder, O_RDONLY | O_DIRECTORY));
  if (fd.ok()) (void)::fsync(fd.get());
}

// Where a replacement starts: the path written, the old file's state and,
// when it exists, the old file open for writing (a file the user may not
// write is refused, as a plain write would be). Orphans of earlier
// replacements are cleared on the way.
struct ReplaceStart {
  fs::path target;
  struct stat old {};
  bool existed = false;
  Fd writable;
};

bool StartReplace(const fs::path& requested, bool mustExist, ReplaceStart& start) {
  start.target = WriteTarget(requested);
  start.existed = ::stat(start.target.c_str(), &start.old) == 0;
  if (start.existed && !S_ISREG(start.old.st_mode)) return false;
  if (!start.existed && (errno != ENOENT || mustExist)) return false;
  if (start.existed) {
    start.writable = Fd(OpenFile(start.target, O_WRONLY));
    if (!start.writable.ok()) return false;
  }
  RemoveOrphanTemporaries(start.target);
  return true;
}

// No temporary file could be made because the folder is not the user's to
// write: the old file is rewritten in place instead.
bool FolderRefused() {
  return errno == EACCES || errno == EPERM || errno == EROFS;
}

// A temporary file's own mode (0600) is kept.
constexpr mode_t kTemporaryMode = static_cast<mode_t>(-1);

// The filled temporary file gets its mode, is made durable and takes the
// target's name; on any failure it goes and the old file stays as it was.
bool FinishReplace(Fd out, const fs::path& temp, const fs::path& target, bool filled, mode_t mode) {
  bool ok = filled && (mode == kTemporaryMode || ::fchmod(out.get(), mode) == 0);
  ok = ok && Fsync(out.get());
  ok = out.Close() && ok;
  ok = ok && !Injected(FileCall::Rename) && ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    (void)::unlink(temp.c_str());  // best effort: the old file is untouched either way
    return false;
  }
  SyncFolder(target.parent_path());
  return true;
}

// The one road of every replacement of content the program holds. fill
// writes the new content to a fresh file; inPlace rewrites the old file
// through a descriptor open for writing.
template <typename Fill, typename InPlace>
bool Replace(const fs::path& requested, bool mustExist, Fill fill, InPlace inPlace) {
  ReplaceStart start;
  if (!StartReplace(requested, mustExist, start)) return false;
  fs::path temp;
  Fd out = CreateTemporary(start.target, temp);
  if (!out.ok()) {
    if (!start.existed || !FolderRefused()) return false;
    const bool ok = inPlace(start.writable.get()) && Fsync(start.writable.get());
    return start.writable.Close() && ok;
  }
  const bool filled = fill(out.get());
  const mode_t mode = start.existed ? (start.old.st_mode & mode_t{07777}) : kTemporaryMode;
  return FinishReplace(std::move(out), temp, start.target, filled, mode);
}

// Tells the files log what failed, with the system's reason; false, always.
bool Failed(const char* what, const fs::path& path) {
  const int error = errno;
  ReportFailure(FailureArea::Files,
                std::string(what) + " " + path.string() + ": " + std::strerror(error));
  errno = error;
  return false;
}

}  // namespace

fs::path FsPath(std::string_view utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

ReadStatus ReadWholeFile(const fs::path& path, std::string& out, std::uintmax_t maxBytes) {
  out.clear();
  Fd fd(OpenForReading(path));
  if (!fd.ok()) return errno == ENOENT ? ReadStatus::Missing : ReadStatus::Failed;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ReadStatus::Failed;
  if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) return ReadStatus::Failed;
  out.reserve(static_cast<std::size_t>(st.st_size));
  std::vector<char> buffer(kChunk);
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      out.clear();
      return ReadStatus::Failed;
    }
    if (n == 0) break;
    out.append(buffer.data(), static_cast<std::size_t>(n));
    if (out.size() > maxBytes) {  // grew while being read
      out.clear();
      return ReadStatus::Failed;
    }
  }
  return ReadStatus::Ok;
}

ReadStatus StreamFile(const fs::path& path, const std::function<bool(std::string_view)>& sink) {
  Fd fd(OpenForReading(path));
  if (!fd.ok()) return errno == ENOENT ? ReadStatus::Missing : ReadStatus::Failed;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ReadStatus::Failed;
  std::vector<char> buffer(kChunk * 4);
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadStatus::Failed;
    }
    if (n == 0) return ReadStatus::Ok;
    if (!sink(std::string_view(buffer.data(), static_cast<std::size_t>(n)))) return ReadStatus::Ok;
  }
}

bool ReadFileRange(const fs::path& path, std::uint64_t at, std::uint64_t length, std::string& out) {
  out.clear();
  Fd fd(OpenForReading(path));
  if (!fd.ok()) return false;
  // Most reads are a few hundred bytes (a log value read back): the buffer is
  // no larger than the read.
  std::vector<char> buffer(length < kChunk ? static_cast<std::size_t>(length) : kChunk);
  while (length > 0) {
    const std::size_t want = length < kChunk ? static_cast<std::size_t>(length) : kChunk;
    const ssize_t n = ::pread(fd.get(), buffer.data(), want, static_cast<off_t>(at));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    out.append(buffer.data(), static_cast<std::size_t>(n));
    at += static_cast<std::uint64_t>(n);
    length -= static_cast<std::uint64_t>(n);
  }
  return true;
}

static bool ReplaceFileOnce(const fs::path& path, std::string_view content) {
  return Replace(
      path, /*mustExist=*/false, [&](int out) { return WriteAll(out, content); },
      [&](int fd) { return PwriteAll(fd, content, 0) && Truncate(fd, content.size()); });
}

static bool SpliceFileOnce(const fs::path& path, std::uint64_t at, std::uint64_t erase,
                           std::string_view text) {
  const fs::path target = WriteTarget(path);
  Fd in(OpenFile(target, O_RDONLY));
  if (!in.ok()) return false;
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return false;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (at > size || erase > size - at) return false;
  const std::uint64_t tailAt = at + erase;
  return Replace(
      target, /*mustExist=*/true,
      [&](int out) {
        return CopyRange(in.get(), 0, at, out) && WriteAll(out, text) &&
               CopyRange(in.get(), tailAt, size - tailAt, out);
      },
      [&](int fd) {
        if (text.size() == erase) return PwriteAll(fd, text, at);
        // In place the tail must move; it is held while the file is rewritten.
        std::string moved(text);
        if (!ReadRange(in.get(), tailAt, moved)) return false;
        return PwriteAll(fd, moved, at) && Truncate(fd, at + moved.size());
      });
}

static bool OverwriteInPlaceOnce(const fs::path& path, std::uint64_t at, std::string_view bytes) {
  Fd fd(OpenFile(WriteTarget(path), O_WRONLY));
  if (!fd.ok()) return false;
  const bool ok = PwriteAll(fd.get(), bytes, at);
  return fd.Close() && ok;
}

bool AppendStream::Close() {
  const int fd = fd_;
  fd_ = -1;
  return fd < 0 || ::close(fd) == 0;
}

bool AppendStream::Append(const fs::path& path, const struct stat* atPath, std::string_view bytes,
                          struct stat& after) {
  const bool same = fd_ >= 0 && atPath != nullptr && S_ISREG(atPath->st_mode) &&
                    atPath->st_dev == device_ && atPath->st_ino == inode_;
  // A write error deferred by the file system shows only at close: it is
  // reported, and the new bytes still go to the file now at path.
  if (!same && !Close()) (void)Failed("closing after appends", path);
  bool existed = true;
  off_t before = same ? atPath->st_size : 0;
  fs::path target;
  if (fd_ < 0) {
    target = WriteTarget(path);
    struct stat found {};
    existed = ::stat(target.c_str(), &found) == 0;
    if (existed && !S_ISREG(found.st_mode)) return Failed("appending to", path);
    fd_ = OpenFile(target, O_WRONLY | O_APPEND | O_CREAT);
    struct stat opened {};
    if (fd_ < 0 || ::fstat(fd_, &opened) != 0) {
      const int error = errno;
      (void)Close();  // nothing was written; the failure is reported below
      errno = error;
      return Failed("appending to", path);
    }
    device_ = opened.st_dev;
    inode_ = opened.st_ino;
    before = opened.st_size;
  }
  // No fsync per append: the page cache outlives the process, so a crash of
  // the program cannot tear the line, and a sync per shop would cost a disk
  // round trip for every entry.
  if (WriteAll(fd_, bytes) && ::fstat(fd_, &after) == 0) return true;
  const int error = errno;
  if (existed) {
    (void)Truncate(fd_,
                   static_cast<std::uint64_t>(before));  // best effort: nothing more can be done
  } else {
    (void)::unlink(target.c_str());
  }
  (void)Close();  // the failure is reported below
  errno = error;
  return Failed("appending to", path);
}

void RemoveOrphanTemporaries(const fs::path& path) {
  const fs::path target = WriteTarget(path);
  const std::string fileName = target.filename().string();
  if (fileName.empty()) return;
  std::error_code ec;
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  fs::directory_iterator it(folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!IsOurTemporaryName(name, fileName)) continue;
    std::error_code removeError;  // one that cannot be removed is tried again next time
    fs::remove(it->path(), removeError);
  }
}

void SetFileCallFault(FileCallFault hook) {
  gFault.store(hook, std::memory_order_relaxed);
}

bool MakeFolders(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  return fs::is_directory(folder, ec);
}

bool FolderWritable(const fs::path& folder) {
  return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

// Every write that fails tells the files log what and why.
bool ReplaceFile(const fs::path& path, std::string_view content) {
  return ReplaceFileOnce(path, content) || Failed("replacing", path);
}

bool SpliceFile(const fs::path& path, std::uint64_t at, std::uint64_t erase,
                std::string_view text) {
  return SpliceFileOnce(path, at, erase, text) || Failed("splicing", path);
}

bool OverwriteInPlace(const fs::path& path, std::uint64_t at, std::string_view bytes) {
  return OverwriteInPlaceOnce(path, at, bytes) || Failed("overwriting", path);
}

bool AppendToFile(const fs::path& path, std::string_view bytes) {
  AppendStream stream;
  struct stat after {};
  return stream.Append(path, nullptr, bytes, after) &&
         (stream.Close() || Failed("appending to", path));
}

// The mode a file made with open(..., 0666) would get: the umask is read
// from the process's status, as umask() itself would change it for every
// thread while asked.
// The file is read past the fault seam: it is no file of the user's, and
// when it cannot be read the usual mask serves.
static mode_t NewFileMode() {
  mode_t mask = 022;
  Fd fd(OpenUnchecked("/proc/self/status", O_RDONLY));
  char buffer[4096];
  const ssize_t n = fd.ok() ? ::read(fd.get(), buffer, sizeof buffer - 1) : -1;
  if (n > 0) {
    buffer[n] = '\0';
    if (const char* at = std::strstr(buffer, "\nUmask:")) {
      mask = static_cast<mode_t>(std::strtoul(at + 8, nullptr, 8));
    }
  }
  return 0666 & ~mask & 07777;
}

// The folder refuses new files, the file itself may be written: the writer
// works in the system's temporary folder and its bytes go over the old ones.
static bool ReplaceByWriterInPlace(int writable,
                                   const std::function<bool(const fs::path&)>& writer) {
  std::error_code ec;
  std::string name = (fs::temp_directory_path(ec) / "dovetrail-XXXXXX").string();
  if (ec) return false;
  Fd made(::mkostemp(name.data(), O_CLOEXEC));
  if (!made.ok()) return false;
  const fs::path temp(name);
  made.Close();
  bool ok = writer(temp);
  Fd in(ok ? OpenForReading(temp) : -1);
  struct stat st {};
  ok = in.ok() && ::fstat(in.get(), &st) == 0;
  ok = ok && ::lseek(writable, 0, SEEK_SET) == 0 &&
       CopyRange(in.get(), 0, static_cast<std::uint64_t>(st.st_size), writable) &&
       ::ftruncate(writable, st.st_size) == 0 && ::fsync(writable) == 0;
  (void)::unlink(temp.c_str());  // best effort: a leftover in the temporary folder harms nothing
  return ok;
}

static bool ReplaceFileByWriterOnce(const fs::path& requested,
                                    const std::function<bool(const fs::path&)>& writer) {
  ReplaceStart start;
  if (!StartReplace(requested, false, start)) return false;
  fs::path temp;
  Fd made = CreateTemporary(start.target, temp);
  if (!made.ok()) {
    if (!start.existed || !FolderRefused()) return false;
    const bool ok = ReplaceByWriterInPlace(start.writable.get(), writer);
    return start.writable.Close() && ok;
  }
  made.Close();  // the writer opens the name itself
  const bool written = writer(temp);
  // Opened again by name: the writer may have made a new file there.
  Fd out(written ? OpenFile(temp, O_WRONLY) : -1);
  const bool filled = written && out.ok();
  const mode_t mode = start.existed ? (start.old.st_mode & mode_t{07777}) : NewFileMode();
  return FinishReplace(std::move(out), temp, start.target, filled, mode);
}

bool ReplaceFileByWriter(const fs::path& path,
                         const std::function<bool(const fs::path& temporary)>& writer) {
  return ReplaceFileByWriterOnce(path, writer) || Failed("replacing", path);
}

bool ReplaceFileStreamed(const fs::path& path,
                         const std::function<bool(const ByteSink&)>& produce) {
  return ReplaceFileByWriter(path, [&produce](const fs::path& temp) {
    Fd out(OpenFile(temp, O_WRONLY | O_TRUNC));
    if (!out.ok()) return false;
    const bool ok =
        produce([fd = out.get()](std::string_view bytes) { return WriteAll(fd, bytes); });
    return out.Close() && ok;
  });
}

}  // namespace dt
