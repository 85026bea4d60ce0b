// Every byte the program puts on disk goes through here: whole-file reads,
// atomic replacement, splicing one range of a file, in-place overwrites and
// appends that are taken back when they fail. Paths are UTF-8 (the file
// system's encoding); contents are raw bytes.
//
// Replacing a file writes a temporary file beside it ("<name>.<16 hex>~"),
// syncs it and renames it over the old one, so a crash leaves either the old
// or the new file. Where no temporary file can be made beside it (a folder the
// user may not write to, holding a file the user may write to) the file is
// rewritten in place and synced instead. Temporary files of that pattern left
// by an earlier crash are removed the next time the file is replaced.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace dt {

std::filesystem::path FsPath(std::string_view utf8);

enum class ReadStatus { Ok, Missing, Failed };

// The whole file into out. A file larger than maxBytes, a folder or an
// unreadable file is Failed; out is empty unless the result is Ok.
[[nodiscard]] ReadStatus ReadWholeFile(const std::filesystem::path& path, std::string& out,
                                       std::uintmax_t maxBytes);

// Feeds the file to sink in chunks, in order, without holding it whole; sink
// returns false to stop early (still Ok).
[[nodiscard]] ReadStatus StreamFile(const std::filesystem::path& path,
                                    const std::function<bool(std::string_view)>& sink);

// Up to length bytes from offset at into out (fewer at the end of the file).
[[nodiscard]] bool ReadFileRange(const std::filesystem::path& path, std::uint64_t at,
                                 std::uint64_t length, std::string& out);

// Replaces the file's content (creating the file when missing). A symbolic
// link is followed: the link stays and its target gets the new bytes. A file
// that may not be written is refused, even where a rename would succeed.
[[nodiscard]] bool ReplaceFile(const std::filesystem::path& path, std::string_view content);

// Replaces the file's content with the bytes produce hands to its sink, in
// order, without holding them whole. produce returns false to give up (or
// when the sink does: a write failed); the old file then stays as it was.
using ByteSink = std::function<bool(std::string_view)>;
[[nodiscard]] bool ReplaceFileStreamed(const std::filesystem::path& path,
                                       const std::function<bool(const ByteSink&)>& produce);

// Replaces the file with one that writer makes by name (for libraries that
// write to a path): writer gets a fresh temporary name beside the file, which
// is renamed over it when writer returns true and removed otherwise, so a
// failure leaves the old file whole. Where the folder refuses new files but
// the file may be written, writer works in the system's temporary folder and
// the result is copied over the old bytes. A new file gets the usual mode
// (0666 less the umask); an existing one keeps its own.
[[nodiscard]] bool ReplaceFileByWriter(
    const std::filesystem::path& path,
    const std::function<bool(const std::filesystem::path& temporary)>& writer);

// Replaces bytes [at, at + erase) of an existing file with text, as one
// atomic replacement (or in place, as above). The file is streamed, never held
// whole in memory on the atomic road. at + erase must lie within the file.
[[nodiscard]] bool SpliceFile(const std::filesystem::path& path, std::uint64_t at,
                              std::uint64_t erase, std::string_view text);

// Writes bytes over an existing file's bytes from offset at on; the file keeps
// its length when the range lies inside it.
[[nodiscard]] bool OverwriteInPlace(const std::filesystem::path& path, std::uint64_t at,
                                    std::string_view bytes);

// Appends bytes, creating the file when missing. When the write fails part-way
// the file is cut back to its old length (or removed when it was new), so it
// never ends in a torn piece.
[[nodiscard]] bool AppendToFile(const std::filesystem::path& path, std::string_view bytes);

// A file kept open between appends, so that a stream of appends to one file
// costs a write each instead of an open, a close and the checks around them.
// Each append is all or nothing, as with AppendToFile.
class AppendStream {
 public:
  AppendStream() = default;
  // A close error at the end has no append left to report it to; every
  // append was checked when it was made.
  ~AppendStream() { (void)Close(); }
  AppendStream(const AppendStream&) = delete;
  AppendStream& operator=(const AppendStream&) = delete;

  // Appends bytes to the file at path, creating it when missing. atPath is
  // what the caller found at path just before (null: nothing there); the open
  // file is written again only while it is that file, else path is opened
  // afresh. On success, after holds the file's state behind the new bytes.
  [[nodiscard]] bool Append(const std::filesystem::path& path, const struct stat* atPath,
                            std::string_view bytes, struct stat& after);
  // False when the file system reports a write error it had deferred.
  [[nodiscard]] bool Close();

 private:
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// Removes "<file name>.<16 hex digits>~" beside the file: what an interrupted
// replacement leaves behind.
void RemoveOrphanTemporaries(const std::filesystem::path& path);

// Makes the folder and its missing parents; true when it exists afterwards.
bool MakeFolders(const std::filesystem::path& folder);

// True when this process may create files in the folder.
bool FolderWritable(const std::filesystem::path& folder);

}  // namespace dt
