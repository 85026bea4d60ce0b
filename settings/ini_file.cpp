#include "settings/ini_file.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>

#include "settings/ini_text.h"

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace dt {
namespace fs = std::filesystem;
namespace {

fs::path FsPath(std::string_view utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string_view TrimFileName(std::string_view file) {
  while (!file.empty() && static_cast<unsigned char>(file.front()) <= 0x20) file.remove_prefix(1);
  return file;
}

enum class ReadResult { Ok, Missing, Failed };

// The whole file, refusing anything larger than the INI limit.
ReadResult ReadFileBytes(const fs::path& path, std::string& out) {
  out.clear();
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return ReadResult::Missing;
  if (ec || status.type() == fs::file_type::directory) return ReadResult::Failed;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size > ini::kMaxFileBytes) return ReadResult::Failed;
  std::ifstream in(path, std::ios::binary);
  if (!in) return ReadResult::Failed;
  char buffer[64 * 1024];
  while (in) {
    in.read(buffer, sizeof buffer);
    out.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (out.size() > ini::kMaxFileBytes) {
      out.clear();
      return ReadResult::Failed;
    }
  }
  if (in.bad()) {
    out.clear();
    return ReadResult::Failed;
  }
  return ReadResult::Ok;
}

void SyncToDisk([[maybe_unused]] const fs::path& path) {
#if defined(__unix__) || defined(__APPLE__)
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
#endif
}

// The file a write must change: a symbolic link is followed, so that the link
// stays and its target gets the new bytes.
fs::path WriteTarget(const fs::path& path) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(path, ec))) {
    fs::path target = fs::weakly_canonical(path, ec);
    if (!ec) return target;
  }
  return path;
}

// Writes content to a temporary file beside path and renames it over path.
bool ReplaceFileAtomically(const fs::path& requested, std::string_view content) {
  const fs::path path = WriteTarget(requested);
  std::error_code ec;
  const fs::file_status old = fs::status(path, ec);
  const bool existed = old.type() == fs::file_type::regular;
  if (old.type() != fs::file_type::not_found && !existed) return false;
  if (existed) {
    // The rename would succeed over a read-only file; refuse, as a plain write would.
    std::ofstream probe(path, std::ios::binary | std::ios::app);
    if (!probe) return false;
  }
  static thread_local std::mt19937_64 random{std::random_device{}()};
  fs::path temp;
  for (int attempt = 0;; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx~", static_cast<unsigned long long>(random()));
    temp = path;
    temp += suffix;
    if (!fs::exists(fs::symlink_status(temp, ec))) break;
    if (attempt > 8) return false;
  }
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    const bool written = static_cast<bool>(out);
    out.close();
    if (!written || out.fail()) {
      fs::remove(temp, ec);
      return false;
    }
  }
  SyncToDisk(temp);
  if (existed) fs::permissions(temp, old.permissions(), ec);
  fs::rename(temp, path, ec);
  if (ec) {
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

// Appends bytes; on a short write the file is cut back to its old length.
bool AppendToFile(const fs::path& path, std::string_view bytes) {
  std::error_code ec;
  const bool existed = fs::exists(path, ec);
  const std::uintmax_t oldSize = existed ? fs::file_size(path, ec) : 0;
  if (ec) return false;
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.flush();
  bool written = static_cast<bool>(out);
  out.close();
  written = written && !out.fail();
  if (!written) {
    if (existed) {
      fs::resize_file(path, oldSize, ec);
    } else {
      fs::remove(path, ec);
    }
  }
  return written;
}

// Reads the file, applies each write in order and replaces the file once.
bool RewriteWith(const std::string& file, std::string_view section,
                 const std::vector<std::pair<std::string, std::string>>& entries,
                 std::string* newContent = nullptr) {
  const std::string_view name = TrimFileName(file);
  const std::string cleanSection = ini::CleanName(section);
  if (name.empty() || cleanSection.empty()) return false;
  const fs::path path = FsPath(name);
  std::string content;
  if (ReadFileBytes(path, content) == ReadResult::Failed) return false;
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
  if (!ReplaceFileAtomically(path, content)) return false;
  if (newContent) *newContent = std::move(content);
  return true;
}

}  // namespace

IniSnapshot::IniSnapshot(const std::string& file) {
  const std::string_view name = TrimFileName(file);
  validName_ = !name.empty();
  if (validName_) loaded_ = ReadFileBytes(FsPath(name), content_) == ReadResult::Ok;
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
  std::string file;
  fs::path path;
  std::optional<ini::AppendIndex> index;
  // The file as this writer last left it; a difference means someone else wrote.
  bool existed = false;
  std::uintmax_t size = 0;
  fs::file_time_type mtime{};
  unsigned long long bytesWritten = 0;

  bool Unchanged() const {
    std::error_code ec;
    const bool exists = fs::exists(path, ec);
    if (ec || exists != existed) return false;
    if (!exists) return true;
    const std::uintmax_t nowSize = fs::file_size(path, ec);
    if (ec || nowSize != size) return false;
    const fs::file_time_type nowTime = fs::last_write_time(path, ec);
    return !ec && nowTime == mtime;
  }

  void Remember() {
    std::error_code ec;
    existed = fs::exists(path, ec);
    size = existed ? fs::file_size(path, ec) : 0;
    mtime = existed ? fs::last_write_time(path, ec) : fs::file_time_type{};
    if (ec) index.reset();
  }

  bool Reindex() {
    index.reset();
    std::string content;
    if (ReadFileBytes(path, content) == ReadResult::Failed) return false;
    index.emplace(content);
    Remember();
    return true;
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

bool IniAppendWriter::Write(std::string_view section, std::string_view key,
                            std::string_view value) {
  State& s = *state_;
  const std::string cleanSection = ini::CleanName(section);
  const std::string cleanKey = ini::CleanName(key);
  const std::string cleanValue = ini::CleanValue(value);
  if (TrimFileName(s.file).empty() || cleanSection.empty() || cleanKey.empty()) return false;
  if (!s.index || !s.Unchanged()) {
    if (!s.Reindex()) return false;
  }
  if (auto tail = s.index->PlanAppend(cleanSection, cleanKey, cleanValue)) {
    if (s.size + tail->size() > ini::kMaxFileBytes) return false;
    if (!AppendToFile(s.path, *tail)) {
      s.index.reset();
      return false;
    }
    s.bytesWritten += tail->size();
    s.index->NoteAppended(cleanSection, cleanKey);
    s.Remember();
    return true;
  }
  std::string content;
  const bool ok = RewriteWith(s.file, cleanSection, {{cleanKey, cleanValue}}, &content);
  if (ok) {
    s.bytesWritten += content.size();
    s.index.emplace(content);
    s.Remember();
  } else {
    s.index.reset();
  }
  return ok;
}

}  // namespace dt
