// INI files with private-profile semantics: the settings file and the shop log.
//
// Paths are in the filesystem's encoding (UTF-8 here); sections, keys and
// values are GBK bytes. Reads never fail loudly: a missing or unreadable file,
// section or key gives the default. Writes report success by their result and
// go through the file module, which replaces a file atomically (or in place
// where the folder refuses a temporary file), so a failed or interrupted write
// leaves the old content whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dt {

// The value stored under key in section; defaultValue when any of file,
// section and key cannot be found. Names are matched without regard to ASCII
// case after dropping leading control bytes and blanks; a name that is then
// empty gives the empty text. The value comes back trimmed, without one pair
// of matching quotes, and at most 10239 bytes long.
std::string ReadIniValue(const std::string& file, std::string_view section, std::string_view key,
                         std::string_view defaultValue);

// Stores key=value: an existing key keeps its line and gets the new value, a
// new one goes at the end of its section, and the section and the file are
// made when missing; every other byte of the file stays. CR and LF bytes in
// names and value are dropped so the line structure survives. False when
// nothing was stored (folder missing, file not writable or unreadable, empty
// file/section/key name).
[[nodiscard]] bool WriteIniValue(const std::string& file, std::string_view section,
                                 std::string_view key, std::string_view value);

// Several keys of one section in one replacement of the file. The result is
// byte for byte what WriteIniValue for each entry in order would give; if
// anything fails, the file is left as it was.
[[nodiscard]] bool WriteIniValues(const std::string& file, std::string_view section,
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

// The writer of a file that one owner writes many times (the shop log, one key
// per accepted shop), with WriteIniValue's result in the file but without its
// cost:
// - a new key of the file's last section is appended (O(1));
// - rewriting a key with the value it has writes nothing;
// - a new value of the same length is written over the old one in place;
// - only a value of another length splices the file, streamed, never held.
// The writer indexes the last section by streaming the file once, keeping 16
// bytes per key in a hash table, and indexes again when the file changed
// behind its back (size, time or identity). Writes it cannot plan from the
// index (a section that is not last) fall back to WriteIniValue. Not
// thread-safe: one caller at a time.
class IniAppendWriter {
 public:
  explicit IniAppendWriter(std::string file);
  ~IniAppendWriter();
  IniAppendWriter(IniAppendWriter&&) noexcept;
  IniAppendWriter& operator=(IniAppendWriter&&) noexcept;

  [[nodiscard]] bool Write(std::string_view section, std::string_view key, std::string_view value);

  // Bytes this writer has put into files since it was made (appends, in-place
  // values and whole rewrites alike); lets callers check that writes stay cheap.
  unsigned long long BytesWritten() const;

  // Memory the key index holds, and the keys in it (for the memory budget).
  std::size_t IndexBytes() const;
  std::size_t IndexedKeys() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace dt
