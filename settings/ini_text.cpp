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

}  // namespace

LineParse ParseIniLine(std::string_view text) {
  LineParse parsed;
  std::size_t first = 0;
  while (first < text.size() && IsBlankByte(text[first])) ++first;
  if (first == text.size()) return parsed;  // blank
  if (text[first] == '[') {
    std::size_t i = first + 1;
    // "]" (0x5D) can be the trail byte of a GBK character, so step over pairs.
    while (i < text.size() && text[i] != ']') {
      i += CharacterWidth(text, i);
    }
    // Without its closing bracket the line heads nothing: it is passed over,
    // and the keys below it stay in the section above.
    if (i >= text.size()) {
      parsed.kind = LineKind::Other;
      return parsed;
    }
    parsed.kind = LineKind::Section;
    parsed.name = Trim(text.substr(first + 1, i - (first + 1)));
    return parsed;
  }
  parsed.kind = LineKind::Key;
  // "=" (0x3D) is below every GBK trail byte, so a plain byte search is exact.
  const std::size_t eq = text.find('=');
  if (eq == std::string_view::npos) {
    // A name alone is a key whose value is empty.
    parsed.name = Trim(text);
    parsed.valueOffset = text.size();
    parsed.hasEquals = false;
    return parsed;
  }
  parsed.name = Trim(text.substr(0, eq));
  parsed.value = Trim(text.substr(eq + 1));
  parsed.valueOffset = eq + 1;
  parsed.hasEquals = true;
  return parsed;
}

bool NameEquals(std::string_view name, std::string_view folded) {
  if (name.size() != folded.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (IsLeadByte(c) && i + 1 < name.size()) {
      if (name[i] != folded[i] || name[i + 1] != folded[i + 1]) return false;
      ++i;
    } else if (FoldAscii(c) != static_cast<unsigned char>(folded[i])) {
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

namespace {

struct ParsedLine : LineParse {
  std::size_t valueAt = 0;  // offset in the content where the value starts
};

ParsedLine ParseLine(std::string_view content, const Line& line) {
  ParsedLine parsed;
  static_cast<LineParse&>(parsed) = ParseIniLine(content.substr(line.begin, line.end - line.begin));
  parsed.valueAt = line.begin + parsed.valueOffset;
  return parsed;
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

// Cut at a NUL (the classic routines take C strings) and kept on one line.
std::string OneLine(std::string_view s) {
  return WithoutBytes(s.substr(0, s.find('\0')), "\r\n");
}

}  // namespace

std::string CleanName(std::string_view name) {
  return std::string(Trim(OneLine(name)));
}

std::string CleanValue(std::string_view value) {
  return OneLine(value);
}

std::string FoldName(std::string_view name) {
  std::string out(name);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (IsLeadByte(c) && i + 1 < out.size()) {
      ++i;
    } else {
      out[i] = static_cast<char>(FoldAscii(c));
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
      if (!parsed.hasEquals) return Edit{line.end, 0, "=" + std::string(value)};
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

}  // namespace dt::ini
