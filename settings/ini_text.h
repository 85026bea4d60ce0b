// The INI text itself, held in memory: finding a stored value and planning the
// edit that stores one. File access lives in ini_file.h; keeping this layer free
// of I/O lets the reader and writer be checked (and fuzzed) on plain buffers.
//
// Layout read: lines end with CR LF, LF or CR. A line whose first byte above
// 0x20 is "[" and that holds a "]" is a section header named by what lies
// between them; a "[" line without "]" heads nothing and is passed over. Any
// other non-blank line is a key line: the name before the first "=" and the
// value after it, or, without "=", the whole line as the name of a key whose
// value is empty. Lines before the first header belong to no section. Names
// and values lose their leading and trailing bytes of 0x20 and below; names
// compare with ASCII letters folded (bytes of a double-byte GBK character
// never fold). This is how the classic private-profile routines read a file,
// so files pass between them and us unchanged in meaning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dt::ini {

// A value comes back with at most this many bytes (the classic 10240-byte
// read buffer less its terminator).
constexpr std::size_t kMaxValueBytes = 10239;

// Files larger than this are never held whole: ReadIniValue gives the default
// for them and whole-file writes fail, leaving them alone. The shop log's
// writer streams its file and has no such limit.
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

// name (as the file has it) equals folded (already folded) once folded too.
bool NameEquals(std::string_view name, std::string_view folded);

// A 64-bit hash of a folded name (FNV-1a).
std::uint64_t HashFolded(std::string_view folded);

enum class LineKind { Blank, Section, Key, Other };

// One line (without its line break) as the layout above reads it. For a key,
// valueOffset is where its value starts within the line: just after the "=",
// or the line's end for a name alone (hasEquals false). Views point into text.
struct LineParse {
  LineKind kind = LineKind::Blank;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key value, trimmed
  std::size_t valueOffset = 0;
  bool hasEquals = false;
};
LineParse ParseIniLine(std::string_view text);

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
//   rest of the line becomes the value; a name alone gets "=" + value after it;
// - a new key goes on a line of its own after the last non-blank line of the
//   section (right after the header when there is none), so blank lines that
//   separate it from the next section stay below it;
// - a missing section is appended at the end, starting on a fresh line.
// New lines end with CR LF. section and key are clean, non-empty names; value
// is clean.
Edit PlanWrite(std::string_view content, std::string_view section, std::string_view key,
               std::string_view value);

void ApplyEdit(std::string& content, const Edit& edit);

}  // namespace dt::ini
