// The INI text itself, held in memory: finding a stored value and planning the
// edit that stores one. File access lives in ini_file.h; keeping this layer free
// of I/O lets the reader and writer be checked (and fuzzed) on plain buffers.
//
// Layout read: lines end with CR LF, LF or CR. A line whose first byte above
// 0x20 is "[" is a section header; its name runs to the first "]" (or the end
// of the line). Any other line holding "=" is a key line: name before the first
// "=", value after it. Everything else (blank lines, text without "=", lines
// before the first header) is carried along untouched. Names and values lose
// their leading and trailing bytes of 0x20 and below; names compare with ASCII
// letters folded (bytes of a double-byte GBK character never fold).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace dt::ini {

// A value comes back with at most this many bytes (the classic 10240-byte
// read buffer less its terminator).
constexpr std::size_t kMaxValueBytes = 10239;

// Larger files are neither parsed nor rewritten: reads give the default and
// writes fail, leaving the file alone.
constexpr std::uintmax_t kMaxFileBytes = 64u * 1024u * 1024u;

// A section or key name as a caller passes it, made fit for the file: cut at a
// NUL byte, CR and LF bytes removed (they would break the line structure),
// bytes of 0x20 and below trimmed at both ends. Empty means "no name".
std::string CleanName(std::string_view name);

// A value as a caller passes it, made fit for one line: cut at a NUL byte, CR
// and LF bytes removed. Blanks stay as given.
std::string CleanValue(std::string_view value);

// ASCII letters lowered; double-byte GBK characters copied unchanged.
std::string FoldName(std::string_view name);

// The value of key in the first section named section (later sections of the
// same name are not consulted; the first key line of that name wins): trimmed,
// one pair of matching quotes removed, cut to kMaxValueBytes. nullopt when the
// section or the key is absent. section and key are clean, non-empty names.
std::optional<std::string> LookupValue(std::string_view content, std::string_view section,
                                       std::string_view key);

// Replace bytes [at, at + erase) of the content with text.
struct Edit {
  std::size_t at = 0;
  std::size_t erase = 0;
  std::string text;
};

// The edit that stores key=value in the first section named section:
// - an existing key line keeps everything up to and including its "=", and the
//   rest of the line becomes the value;
// - a new key goes on a line of its own after the last non-blank line of the
//   section (right after the header when there is none), so blank lines that
//   separate it from the next section stay below it;
// - a missing section is appended at the end, starting on a fresh line.
// New lines end with CR LF. section and key are clean, non-empty names; value
// is clean.
Edit PlanWrite(std::string_view content, std::string_view section, std::string_view key,
               std::string_view value);

void ApplyEdit(std::string& content, const Edit& edit);

// What a writer that owns a file needs to know to turn a write into a plain
// append at the end: the sections present, and the keys of the last section.
// Names are kept as 64-bit hashes of their folded form; a hash that is present
// only means "maybe", which sends the write down the full rewrite, so a
// collision costs time, never correctness.
class AppendIndex {
 public:
  explicit AppendIndex(std::string_view content);

  // The bytes to append at the end of the file when storing key=value is a
  // pure append (new key at the end of the last section, or a new section);
  // nullopt when the write needs the full edit. Names and value as PlanWrite.
  std::optional<std::string> PlanAppend(std::string_view section, std::string_view key,
                                        std::string_view value) const;

  // Records that the bytes of PlanAppend(section, key, ...) were appended.
  void NoteAppended(std::string_view section, std::string_view key);

 private:
  static constexpr std::size_t kMaxEntries = 1u << 21;

  bool usable_ = true;  // false when the file holds too many names to index
  std::unordered_set<std::uint64_t> sections_;
  bool hasLast_ = false;
  std::string lastSection_;          // folded name of the file's last section
  bool lastIsFirst_ = false;         // no earlier section has that name
  bool lastTakesKeysAtEnd_ = false;  // a new key of the last section goes at the end
  std::unordered_set<std::uint64_t> lastKeys_;
  bool endsWithBreak_ = true;  // empty, or the last byte is CR or LF
};

}  // namespace dt::ini
