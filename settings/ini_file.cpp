#include "settings/ini_file.h"

#include <sys/stat.h>

#include <optional>
#include <unordered_set>

#include "files/file_io.h"
#include "settings/ini_text.h"

namespace dt {
namespace fs = std::filesystem;
namespace {

std::string_view TrimFileName(std::string_view file) {
  while (!file.empty() && static_cast<unsigned char>(file.front()) <= 0x20) file.remove_prefix(1);
  return file;
}

// Reads the file, applies each write in order and replaces the file once.
bool RewriteWith(const std::string& file, std::string_view section,
                 const std::vector<std::pair<std::string, std::string>>& entries,
                 std::size_t* newSize = nullptr) {
  const std::string_view name = TrimFileName(file);
  const std::string cleanSection = ini::CleanName(section);
  if (name.empty() || cleanSection.empty()) return false;
  const fs::path path = FsPath(name);
  std::string content;
  if (ReadWholeFile(path, content, ini::kMaxFileBytes) == ReadStatus::Failed) return false;
  bool any = false;
  for (const auto& [key, value] : entries) {
    const std::string cleanKey = ini::CleanName(key);
    if (cleanKey.empty()) continue;
    ini::ApplyEdit(content,
                   ini::PlanWrite(content, cleanSection, cleanKey, ini::CleanValue(value)));
    any = true;
    if (content.size() > ini::kMaxFileBytes) return false;
  }
  if (!any) return entries.empty();
  if (!ReplaceFile(path, content)) return false;
  if (newSize) *newSize = content.size();
  return true;
}

std::string KeyLine(std::string_view key, std::string_view value) {
  std::string line;
  line.reserve(key.size() + value.size() + 3);
  line.append(key).append("=").append(value).append("\r\n");
  return line;
}

// Where each key of one section keeps its value in the file: an open-addressing
// table of 16-byte slots (name hash; value offset and length packed), so ten
// million keys stay within a few hundred megabytes. A hash only says "maybe":
// the writer checks the name in the file before it trusts a slot.
class KeyTable {
 public:
  static constexpr std::uint16_t kLong = 0xFFFF;  // value too long to say here
  static constexpr std::uint16_t kBare = 0xFFFE;  // a name alone, without "="
  static constexpr std::uint64_t kMaxOffset = (1ull << 48) - 1;

  struct Slot {
    std::uint64_t hash = 0;  // 0: empty
    std::uint64_t packed = 0;
    std::uint64_t At() const { return packed >> 16; }
    std::uint16_t Length() const { return static_cast<std::uint16_t>(packed & 0xFFFF); }
    void Set(std::uint64_t at, std::uint16_t length) { packed = (at << 16) | length; }
  };

  static std::uint16_t LengthCode(std::uint64_t length) {
    return length < kBare ? static_cast<std::uint16_t>(length) : kLong;
  }

  Slot* Find(std::uint64_t hash) {
    if (slots_.empty()) return nullptr;
    hash = Normal(hash);
    for (std::size_t i = Home(hash);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i].hash == hash) return &slots_[i];
      if (slots_[i].hash == 0) return nullptr;
    }
  }

  // The first key of a name wins, as readers find the first one.
  void InsertIfAbsent(std::uint64_t hash, std::uint64_t at, std::uint16_t length) {
    if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
    hash = Normal(hash);
    std::size_t i = Home(hash);
    while (slots_[i].hash != 0) {
      if (slots_[i].hash == hash) return;
      i = (i + 1) & (slots_.size() - 1);
    }
    slots_[i].hash = hash;
    slots_[i].Set(at, length);
    ++count_;
  }

  // Values that lie after offset moved by delta bytes.
  void ShiftAfter(std::uint64_t offset, std::int64_t delta) {
    for (Slot& slot : slots_) {
      if (slot.hash != 0 && slot.At() > offset) {
        slot.Set(slot.At() + static_cast<std::uint64_t>(delta), slot.Length());
      }
    }
  }

  void Clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    count_ = 0;
  }
  std::size_t Count() const { return count_; }
  std::size_t Bytes() const { return slots_.capacity() * sizeof(Slot); }

 private:
  static std::uint64_t Normal(std::uint64_t hash) { return hash == 0 ? 1 : hash; }
  std::size_t Home(std::uint64_t hash) const {
    return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    const std::size_t capacity = old.empty() ? 16 : old.size() * 2;
    slots_.assign(capacity, Slot{});
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
    count_ = 0;
    for (const Slot& slot : old) {
      if (slot.hash != 0) InsertIfAbsent(slot.hash, slot.At(), slot.Length());
    }
  }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
  int shift_ = 64;
};

// Splits a stream of chunks into lines (CR LF, LF or CR ends), keeping only
// the first kPrefix bytes of each line: enough to read a name and find the
// "=", whatever length the value has.
class LineSplitter {
 public:
  static constexpr std::size_t kPrefix = 4096;
  struct Line {
    std::uint64_t start = 0;
    std::uint64_t length = 0;  // without the line break
    std::uint64_t next = 0;    // where the following line starts
    std::string_view prefix;   // the first bytes of the line
    bool truncated = false;
  };

  template <typename OnLine>
  void Feed(std::string_view chunk, OnLine&& onLine) {
    std::size_t i = 0;
    if (pendingCr_ && !chunk.empty()) {
      pendingCr_ = false;
      const bool crlf = chunk[0] == '\n';
      if (crlf) i = 1;
      Emit(crlf ? 2 : 1, onLine);
    }
    while (i < chunk.size()) {
      std::size_t end = i;
      while (end < chunk.size() && chunk[end] != '\r' && chunk[end] != '\n') ++end;
      Take(chunk.substr(i, end - i));
      if (end == chunk.size()) break;
      if (chunk[end] == '\n') {
        Emit(1, onLine);
        i = end + 1;
      } else if (end + 1 < chunk.size()) {
        const bool crlf = chunk[end + 1] == '\n';
        Emit(crlf ? 2 : 1, onLine);
        i = end + (crlf ? 2 : 1);
      } else {
        pendingCr_ = true;  // a LF may open the next chunk
        i = end + 1;
      }
    }
  }

  template <typename OnLine>
  void Finish(OnLine&& onLine) {
    if (pendingCr_) {
      pendingCr_ = false;
      Emit(1, onLine);
    } else if (length_ > 0) {
      Emit(0, onLine);
    }
  }

 private:
  void Take(std::string_view bytes) {
    if (prefix_.size() < kPrefix) {
      prefix_.append(bytes.substr(0, kPrefix - prefix_.size()));
    }
    length_ += bytes.size();
  }
  template <typename OnLine>
  void Emit(std::uint64_t breakLength, OnLine& onLine) {
    Line line;
    line.start = start_;
    line.length = length_;
    line.next = start_ + length_ + breakLength;
    line.prefix = prefix_;
    line.truncated = length_ > prefix_.size();
    onLine(line);
    start_ = line.next;
    length_ = 0;
    prefix_.clear();
  }

  std::uint64_t start_ = 0;
  std::uint64_t length_ = 0;
  std::string prefix_;
  bool pendingCr_ = false;
};

}  // namespace

IniSnapshot::IniSnapshot(const std::string& file) {
  const std::string_view name = TrimFileName(file);
  validName_ = !name.empty();
  if (validName_) {
    loaded_ = ReadWholeFile(FsPath(name), content_, ini::kMaxFileBytes) == ReadStatus::Ok;
  }
}

std::string IniSnapshot::Read(std::string_view section, std::string_view key,
                              std::string_view defaultValue) const {
  const std::string cleanSection = ini::CleanName(section);
  const std::string cleanKey = ini::CleanName(key);
  if (!validName_ || cleanSection.empty() || cleanKey.empty()) return {};
  if (loaded_) {
    if (auto value = ini::LookupValue(content_, cleanSection, cleanKey)) return std::move(*value);
  }
  return std::string(defaultValue.substr(0, ini::kMaxValueBytes));
}

std::string ReadIniValue(const std::string& file, std::string_view section, std::string_view key,
                         std::string_view defaultValue) {
  if (TrimFileName(file).empty() || ini::CleanName(section).empty() ||
      ini::CleanName(key).empty()) {
    return {};
  }
  return IniSnapshot(file).Read(section, key, defaultValue);
}

bool WriteIniValue(const std::string& file, std::string_view section, std::string_view key,
                   std::string_view value) {
  if (ini::CleanName(key).empty()) return false;
  return RewriteWith(file, section, {{std::string(key), std::string(value)}});
}

bool WriteIniValues(const std::string& file, std::string_view section,
                    const std::vector<std::pair<std::string, std::string>>& entries) {
  return RewriteWith(file, section, entries);
}

struct IniAppendWriter::State {
  static constexpr std::size_t kMaxSections = 1u << 16;
  static constexpr std::uint64_t kKeyWindow = 256;  // bytes read back before a value

  std::string file;
  fs::path path;
  unsigned long long bytesWritten = 0;

  // The index, valid while `indexed`; `planned` is false when the file has a
  // shape the index cannot plan writes for (every write then rewrites).
  bool indexed = false;
  bool planned = true;
  std::unordered_set<std::uint64_t> sections;
  bool hasLast = false;
  std::string lastSection;     // folded name of the file's last section
  bool lastIsFirst = false;    // no earlier section has that name
  KeyTable keys;               // the last section's keys, when lastIsFirst
  std::uint64_t insertAt = 0;  // where a new key of the last section goes
  bool insertNeedsBreak = false;
  bool endsWithBreak = true;

  // The file as this writer last left it; any difference means someone else wrote.
  bool existed = false;
  struct stat seen {};
  AppendStream appender;

  bool Unchanged() const {
    struct stat now {};
    const bool exists = ::stat(path.c_str(), &now) == 0;
    if (exists != existed) return false;
    if (!exists) return true;
    return now.st_size == seen.st_size && now.st_ino == seen.st_ino && now.st_dev == seen.st_dev &&
           now.st_mtim.tv_sec == seen.st_mtim.tv_sec && now.st_mtim.tv_nsec == seen.st_mtim.tv_nsec;
  }

  void Remember() { existed = ::stat(path.c_str(), &seen) == 0; }

  // Appends to the file as last seen, through the file kept open for that.
  bool Append(std::string_view text) {
    struct stat after {};
    if (!appender.Append(path, existed ? &seen : nullptr, text, after)) return Fail();
    bytesWritten += text.size();
    existed = true;
    seen = after;
    return true;
  }
  std::uint64_t Size() const { return existed ? static_cast<std::uint64_t>(seen.st_size) : 0; }

  void IndexLine(const LineSplitter::Line& line) {
    if (!planned) return;
    const ini::LineParse parsed = ini::ParseIniLine(line.prefix);
    if (line.truncated) {
      // A long line is understood only when its name ended within the prefix.
      const bool understood = parsed.kind == ini::LineKind::Section ||
                              (parsed.kind == ini::LineKind::Key && parsed.hasEquals);
      if (!understood || line.start + line.length > KeyTable::kMaxOffset) {
        planned = false;
        return;
      }
    }
    switch (parsed.kind) {
      case ini::LineKind::Blank:
        return;
      case ini::LineKind::Section:
        lastSection = ini::FoldName(parsed.name);
        lastIsFirst = sections.insert(ini::HashFolded(lastSection)).second;
        if (sections.size() > kMaxSections) planned = false;
        hasLast = true;
        keys.Clear();
        break;
      case ini::LineKind::Key:
        if (hasLast && lastIsFirst && !parsed.name.empty()) {
          const std::uint64_t valueAt = line.start + parsed.valueOffset;
          keys.InsertIfAbsent(ini::HashFolded(ini::FoldName(parsed.name)), valueAt,
                              parsed.hasEquals
                                  ? KeyTable::LengthCode(line.length - parsed.valueOffset)
                                  : KeyTable::kBare);
        }
        break;
      case ini::LineKind::Other:
        break;
    }
    insertAt = line.next;
    insertNeedsBreak = line.next == line.start + line.length;
  }

  bool Reindex() {
    indexed = false;
    planned = true;
    sections.clear();
    hasLast = lastIsFirst = insertNeedsBreak = false;
    lastSection.clear();
    keys.Clear();
    insertAt = 0;
    endsWithBreak = true;
    RemoveOrphanTemporaries(path);
    Remember();
    LineSplitter splitter;
    char lastByte = '\n';
    const auto onLine = [this](const LineSplitter::Line& line) { IndexLine(line); };
    const ReadStatus status = StreamFile(path, [&](std::string_view chunk) {
      splitter.Feed(chunk, onLine);
      lastByte = chunk.back();
      return true;
    });
    if (status == ReadStatus::Failed) return false;
    splitter.Finish(onLine);
    endsWithBreak = lastByte == '\n' || lastByte == '\r';
    indexed = true;
    return true;
  }

  bool Rewrite(std::string_view section, std::string_view key, std::string_view value) {
    std::size_t newSize = 0;
    indexed = false;
    if (!RewriteWith(file, section, {{std::string(key), std::string(value)}}, &newSize)) {
      return false;
    }
    bytesWritten += newSize;
    return true;
  }

  // Stores a new value for the key whose slot the index holds, after checking
  // in the file that the slot's line really is that key.
  bool WriteExisting(KeyTable::Slot& slot, std::string_view section, std::string_view key,
                     std::string_view value) {
    const std::uint64_t at = slot.At();
    const std::uint16_t code = slot.Length();
    const std::uint64_t from = at > kKeyWindow ? at - kKeyWindow : 0;
    const std::uint64_t valueLength = code < KeyTable::kBare ? code : 0;
    std::string window;
    if (!ReadFileRange(path, from, at - from + valueLength + 1, window) ||
        window.size() < at - from + valueLength) {
      return Rewrite(section, key, value);
    }
    const std::string_view head = std::string_view(window).substr(0, at - from);
    const std::size_t lineBreak = head.find_last_of("\r\n");
    if (lineBreak == std::string_view::npos && from > 0) return Rewrite(section, key, value);
    const std::string_view lineHead =
        lineBreak == std::string_view::npos ? head : head.substr(lineBreak + 1);
    const ini::LineParse parsed = ini::ParseIniLine(lineHead);
    const bool bare = code == KeyTable::kBare;
    const bool sameKey = parsed.kind == ini::LineKind::Key && parsed.hasEquals == !bare &&
                         (bare || parsed.valueOffset == lineHead.size()) &&
                         ini::NameEquals(parsed.name, ini::FoldName(key));
    if (!sameKey) return Rewrite(section, key, value);

    if (bare) {
      const std::string text = "=" + std::string(value);
      if (!SpliceFile(path, at, 0, text)) return Fail();
      keys.ShiftAfter(at, static_cast<std::int64_t>(text.size()));
      slot.Set(at + 1, KeyTable::LengthCode(value.size()));
      insertAt += text.size();
      return Written(text.size());
    }
    std::uint64_t erase = valueLength;
    if (code == KeyTable::kLong) {
      if (!FindLineEnd(at, erase)) return Rewrite(section, key, value);
    } else {
      const bool endsThere = window.size() == at - from + valueLength || window.back() == '\r' ||
                             window.back() == '\n';
      if (!endsThere) return Rewrite(section, key, value);
      const std::string_view old = std::string_view(window).substr(at - from, valueLength);
      if (old == value) return true;  // nothing to change
      if (old.size() == value.size()) {
        if (!OverwriteInPlace(path, at, value)) return Fail();
        return Written(value.size());
      }
    }
    if (!SpliceFile(path, at, erase, value)) return Fail();
    keys.ShiftAfter(at, static_cast<std::int64_t>(value.size()) - static_cast<std::int64_t>(erase));
    slot.Set(at, KeyTable::LengthCode(value.size()));
    insertAt = insertAt + value.size() - erase;
    return Written(value.size());
  }

  // The end of the line whose value starts at `at`, in erase as a length.
  bool FindLineEnd(std::uint64_t at, std::uint64_t& length) {
    std::string chunk;
    for (std::uint64_t pos = at;; pos += chunk.size()) {
      if (!ReadFileRange(path, pos, 1u << 20, chunk)) return false;
      const std::size_t end = chunk.find_first_of("\r\n");
      if (end != std::string::npos || chunk.empty()) {
        length = pos - at + (end == std::string::npos ? 0 : end);
        return true;
      }
    }
  }

  bool Written(std::size_t bytes) {
    bytesWritten += bytes;
    Remember();
    return true;
  }

  bool Fail() {
    indexed = false;
    return false;
  }
};

IniAppendWriter::IniAppendWriter(std::string file) : state_(std::make_unique<State>()) {
  state_->file = std::move(file);
  state_->path = FsPath(TrimFileName(state_->file));
}

IniAppendWriter::~IniAppendWriter() = default;
IniAppendWriter::IniAppendWriter(IniAppendWriter&&) noexcept = default;
IniAppendWriter& IniAppendWriter::operator=(IniAppendWriter&&) noexcept = default;

unsigned long long IniAppendWriter::BytesWritten() const {
  return state_->bytesWritten;
}

std::size_t IniAppendWriter::IndexBytes() const {
  return state_->keys.Bytes() + state_->sections.size() * 3 * sizeof(std::uint64_t);
}

std::size_t IniAppendWriter::IndexedKeys() const {
  return state_->keys.Count();
}

bool IniAppendWriter::Write(std::string_view section, std::string_view key,
                            std::string_view value) {
  State& s = *state_;
  const std::string cleanSection = ini::CleanName(section);
  const std::string cleanKey = ini::CleanName(key);
  const std::string cleanValue = ini::CleanValue(value);
  if (TrimFileName(s.file).empty() || cleanSection.empty() || cleanKey.empty()) return false;
  if (!s.indexed || !s.Unchanged()) {
    if (!s.Reindex()) return false;
  }
  if (!s.planned) return s.Rewrite(cleanSection, cleanKey, cleanValue);

  const std::string folded = ini::FoldName(cleanSection);
  const std::uint64_t keyHash = ini::HashFolded(ini::FoldName(cleanKey));
  const std::uint64_t size = s.Size();
  if (s.hasLast && folded == s.lastSection) {
    if (!s.lastIsFirst) return s.Rewrite(cleanSection, cleanKey, cleanValue);
    if (KeyTable::Slot* slot = s.keys.Find(keyHash)) {
      return s.WriteExisting(*slot, cleanSection, cleanKey, cleanValue);
    }
    // A new key goes after the section's last non-blank line: at the end of
    // the file unless blank lines trail it.
    std::string text = s.insertNeedsBreak ? "\r\n" : "";
    const std::uint64_t valueAt = s.insertAt + text.size() + cleanKey.size() + 1;
    text += KeyLine(cleanKey, cleanValue);
    const bool atEnd = s.insertAt >= size;
    if (atEnd ? !s.Append(text) : !SpliceFile(s.path, s.insertAt, 0, text)) return s.Fail();
    s.keys.InsertIfAbsent(keyHash, valueAt, KeyTable::LengthCode(cleanValue.size()));
    if (atEnd) s.endsWithBreak = true;
    s.insertAt += text.size();
    s.insertNeedsBreak = false;
    return atEnd || s.Written(text.size());
  }
  if (s.sections.count(ini::HashFolded(folded)) != 0) {
    return s.Rewrite(cleanSection, cleanKey, cleanValue);  // an earlier section, maybe
  }
  std::string text = s.endsWithBreak ? "" : "\r\n";
  text.append("[").append(cleanSection).append("]\r\n");
  const std::uint64_t valueAt = size + text.size() + cleanKey.size() + 1;
  text += KeyLine(cleanKey, cleanValue);
  if (!s.Append(text)) return false;
  s.sections.insert(ini::HashFolded(folded));
  s.hasLast = true;
  s.lastSection = folded;
  s.lastIsFirst = true;
  s.keys.Clear();
  s.keys.InsertIfAbsent(keyHash, valueAt, KeyTable::LengthCode(cleanValue.size()));
  s.insertAt = size + text.size();
  s.insertNeedsBreak = false;
  s.endsWithBreak = true;
  return true;
}

}  // namespace dt
