// INI files with private-profile semantics: the settings file and the shop log.
//
// Paths are in the filesystem's encoding (UTF-8 here); sections, keys and
// values are GBK bytes. Reads never fail loudly: a missing or unreadable file,
// section or key gives the default. Writes report success by their result and
// replace the file atomically (a temporary file beside it, then a rename), so a
// failed or interrupted write leaves the old file whole. Files larger than
// ini::kMaxFileBytes are treated as unreadable and are never rewritten.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dt {

// The value stored under key in section, or defaultValue when the file, the
// section or the key is missing. Leading bytes of 0x20 and below are ignored in
// file, section and key; when one of them is then empty the result is the empty
// text. Names compare ignoring ASCII letter case; the value loses its outer
// blanks and one pair of matching quotes; at most 10239 bytes are returned.
std::string ReadIniValue(const std::string& file, std::string_view section, std::string_view key,
                         std::string_view defaultValue);

// Stores key=value: replaces the value of an existing key in place, or appends
// the key at the end of its section, creating the section and the file when
// missing. An empty value is stored as "key=". Every other byte of the file is
// kept. CR and LF bytes in names and value are dropped so the line structure
// survives. False when nothing was stored (folder missing, file not writable or
// unreadable, empty file/section/key name).
bool WriteIniValue(const std::string& file, std::string_view section, std::string_view key,
                   std::string_view value);

// Several keys of one section in one atomic replacement. The file ends up byte
// for byte as WriteIniValue called for each entry in order would leave it; if
// anything fails, the file is left as it was.
bool WriteIniValues(const std::string& file, std::string_view section,
                    const std::vector<std::pair<std::string, std::string>>& entries);

// A file read once for many lookups, with ReadIniValue's results.
class IniSnapshot {
 public:
  explicit IniSnapshot(const std::string& file);
  std::string Read(std::string_view section, std::string_view key,
                   std::string_view defaultValue) const;

 private:
  bool validName_ = false;
  bool loaded_ = false;
  std::string content_;
};

// Same file result as WriteIniValue, for a file written by one owner many times
// (the shop log, one key per accepted shop): appending a new key to the file's
// last section costs O(1) (an append to the file, no rewrite); it keeps an index
// of the file's sections/keys and re-reads the file when its size or mtime
// changed behind its back; replacing an existing key, or a new key in a section
// that is not last, rewrites the file atomically. Not thread-safe (one caller at
// a time).
class IniAppendWriter {
 public:
  explicit IniAppendWriter(std::string file);
  ~IniAppendWriter();
  IniAppendWriter(IniAppendWriter&&) noexcept;
  IniAppendWriter& operator=(IniAppendWriter&&) noexcept;

  bool Write(std::string_view section, std::string_view key, std::string_view value);

  // Bytes this writer has put into the file since it was made (appends and
  // full rewrites alike); lets callers check that appends stay cheap.
  unsigned long long BytesWritten() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace dt
