#include "settings/ini_text.h"

#include "text/gbk_text.h"

namespace dt::ini {
namespace {

constexpr bool IsBlankByte(char c) {
  return static_cast<unsigned char>(c) <= 0x20;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlankByte(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlankByte(s.back())) s.remove_suffix(1);
  return s;
}

// One line of the content: its text is [begin, end); next is where the
// following line starts (after the line break, if any).
struct Line {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t next = 0;
};

class LineScanner {
 public:
  explicit LineScanner(std::string_view content) : content_(content) {}
  bool Next(Line& line) {
    if (pos_ >= content_.size()) return false;
    line.begin = pos_;
    std::size_t i = pos_;
    while (i < content_.size() && content_[i] != '\r' && content_[i] != '\n') ++i;
    line.end = i;
    if (i < content_.size()) {
      if (content_[i] == '\r' && i + 1 < content_.size() && content_[i + 1] == '\n') {
        i += 2;
      } else {
        ++i;
      }
    }
    line.next = pos_ = i;
    return true;
  }

 private:
  std::string_view content_;
  std::size_t pos_ = 0;
};

enum class LineKind { Blank, Section, Key, Other };

struct ParsedLine {
  LineKind kind = LineKind::Blank;
  std::string_view name;    // section or key name, trimmed
  std::string_view value;   // key value, trimmed
  std::size_t valueAt = 0;  // offset in the content just after the key's "="
};

ParsedLine ParseLine(std::string_view content, const Line& line) {
  ParsedLine parsed;
  const std::string_view text = content.substr(line.begin, line.end - line.begin);
  std::size_t first = 0;
  while (first < text.size() && IsBlankByte(text[first])) ++first;
  if (first == text.size()) return parsed;  // blank
  if (text[first] == '[') {
    parsed.kind = LineKind::Section;
    std::size_t i = first + 1;
    // "]" (0x5D) can be the trail byte of a GBK character, so step over pairs.
    while (i < text.size() && text[i] != ']') {
      i += (IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
    }
    parsed.name = Trim(text.substr(first + 1, i - (first + 1)));
    return parsed;
  }
  // "=" (0x3D) is below every GBK trail byte, so a plain byte search is exact.
  const std::size_t eq = text.find('=');
  if (eq == std::string_view::npos) {
    parsed.kind = LineKind::Other;
    return parsed;
  }
  parsed.kind = LineKind::Key;
  parsed.name = Trim(text.substr(0, eq));
  parsed.value = Trim(text.substr(eq + 1));
  parsed.valueAt = line.begin + eq + 1;
  return parsed;
}

constexpr unsigned char FoldByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// name (from the file) equals folded (already folded) when folded the same way.
bool NameEquals(std::string_view name, std::string_view folded) {
  if (name.size() != folded.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (IsLeadByte(c) && i + 1 < name.size()) {
      if (name[i] != folded[i] || name[i + 1] != folded[i + 1]) return false;
      ++i;
    } else if (FoldByte(c) != static_cast<unsigned char>(folded[i])) {
      return false;
    }
  }
  return true;
}

std::uint64_t HashFolded(std::string_view folded) {
  std::uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (const char c : folded) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

std::uint64_t HashName(std::string_view name) {
  return HashFolded(FoldName(name));
}

bool EndsWithBreak(std::string_view content) {
  return content.empty() || content.back() == '\n' || content.back() == '\r';
}

std::string KeyLine(std::string_view key, std::string_view value) {
  std::string line;
  line.reserve(key.size() + value.size() + 3);
  line.append(key).append("=").append(value).append("\r\n");
  return line;
}

std::string NewSectionText(std::string_view content, std::string_view section, std::string_view key,
                           std::string_view value) {
  std::string text;
  if (!EndsWithBreak(content)) text = "\r\n";
  text.append("[").append(section).append("]\r\n").append(KeyLine(key, value));
  return text;
}

std::string RemoveLineBreaks(std::string_view s) {
  s = s.substr(0, s.find('\0'));
  std::string out;
  out.reserve(s.size());
  for (const char c : s) {
    if (c != '\r' && c != '\n') out.push_back(c);
  }
  return out;
}

}  // namespace

std::string CleanName(std::string_view name) {
  return std::string(Trim(RemoveLineBreaks(name)));
}

std::string CleanValue(std::string_view value) {
  return RemoveLineBreaks(value);
}

std::string FoldName(std::string_view name) {
  std::string out(name);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (IsLeadByte(c) && i + 1 < out.size()) {
      ++i;
    } else {
      out[i] = static_cast<char>(FoldByte(c));
    }
  }
  return out;
}

std::optional<std::string> LookupValue(std::string_view content, std::string_view section,
                                       std::string_view key) {
  const std::string wantedSection = FoldName(section);
  const std::string wantedKey = FoldName(key);
  LineScanner lines(content);
  Line line;
  bool inSection = false;
  while (lines.Next(line)) {
    const ParsedLine parsed = ParseLine(content, line);
    if (parsed.kind == LineKind::Section) {
      if (inSection) return std::nullopt;  // the first section of that name has ended
      inSection = NameEquals(parsed.name, wantedSection);
    } else if (inSection && parsed.kind == LineKind::Key && NameEquals(parsed.name, wantedKey)) {
      std::string_view value = parsed.value;
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      return std::string(value.substr(0, kMaxValueBytes));
    }
  }
  return std::nullopt;
}

Edit PlanWrite(std::string_view content, std::string_view section, std::string_view key,
               std::string_view value) {
  const std::string wantedSection = FoldName(section);
  const std::string wantedKey = FoldName(key);
  LineScanner lines(content);
  Line line;
  bool inSection = false;
  // Where a new key of the section goes, and whether the line before it lacks
  // its line break (only possible at the very end of the content).
  std::size_t insertAt = 0;
  bool insertNeedsBreak = false;
  while (lines.Next(line)) {
    const ParsedLine parsed = ParseLine(content, line);
    if (parsed.kind == LineKind::Section) {
      if (inSection) break;
      if (NameEquals(parsed.name, wantedSection)) {
        inSection = true;
        insertAt = line.next;
        insertNeedsBreak = line.next == line.end;
      }
      continue;
    }
    if (!inSection) continue;
    if (parsed.kind == LineKind::Key && NameEquals(parsed.name, wantedKey)) {
      return Edit{parsed.valueAt, line.end - parsed.valueAt, std::string(value)};
    }
    if (parsed.kind != LineKind::Blank) {
      insertAt = line.next;
      insertNeedsBreak = line.next == line.end;
    }
  }
  if (!inSection) return Edit{content.size(), 0, NewSectionText(content, section, key, value)};
  std::string text = insertNeedsBreak ? "\r\n" : "";
  text.append(KeyLine(key, value));
  return Edit{insertAt, 0, std::move(text)};
}

void ApplyEdit(std::string& content, const Edit& edit) {
  content.replace(edit.at, edit.erase, edit.text);
}

AppendIndex::AppendIndex(std::string_view content) {
  LineScanner lines(content);
  Line line;
  bool lastLineIsBlank = false;
  while (lines.Next(line)) {
    const ParsedLine parsed = ParseLine(content, line);
    lastLineIsBlank = parsed.kind == LineKind::Blank;
    if (parsed.kind == LineKind::Section) {
      lastSection_ = FoldName(parsed.name);
      lastIsFirst_ = sections_.insert(HashFolded(lastSection_)).second;
      hasLast_ = true;
      lastKeys_.clear();
    } else if (hasLast_ && parsed.kind == LineKind::Key) {
      lastKeys_.insert(HashName(parsed.name));
    }
    if (sections_.size() > kMaxEntries || lastKeys_.size() > kMaxEntries) {
      usable_ = false;
      return;
    }
  }
  // A new key of the last section lands at the very end unless blank lines
  // trail it (they stay below the new key).
  lastTakesKeysAtEnd_ = hasLast_ && !lastLineIsBlank;
  endsWithBreak_ = EndsWithBreak(content);
}

std::optional<std::string> AppendIndex::PlanAppend(std::string_view section, std::string_view key,
                                                   std::string_view value) const {
  if (!usable_) return std::nullopt;
  const std::string folded = FoldName(section);
  if (hasLast_ && folded == lastSection_) {
    if (!lastIsFirst_ || !lastTakesKeysAtEnd_) return std::nullopt;
    if (lastKeys_.count(HashName(key)) != 0) return std::nullopt;  // maybe a replace
    std::string text = endsWithBreak_ ? "" : "\r\n";
    text.append(KeyLine(key, value));
    return text;
  }
  if (sections_.count(HashFolded(folded)) != 0) return std::nullopt;  // maybe present
  std::string text = endsWithBreak_ ? "" : "\r\n";
  text.append("[").append(section).append("]\r\n").append(KeyLine(key, value));
  return text;
}

void AppendIndex::NoteAppended(std::string_view section, std::string_view key) {
  const std::string folded = FoldName(section);
  if (!(hasLast_ && folded == lastSection_)) {
    sections_.insert(HashFolded(folded));
    lastSection_ = folded;
    hasLast_ = true;
    lastIsFirst_ = true;
    lastKeys_.clear();
  }
  lastKeys_.insert(HashName(key));
  lastTakesKeysAtEnd_ = true;
  endsWithBreak_ = true;
  if (sections_.size() > kMaxEntries || lastKeys_.size() > kMaxEntries) usable_ = false;
}

}  // namespace dt::ini
