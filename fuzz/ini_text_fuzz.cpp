// A settings file's or shop log's bytes can be anything a user or another
// program left there. Reads must not crash, a write must store exactly its own
// key, and the log writer's shortcuts must give the bytes of the full edit.
#include <fuzzer/FuzzedDataProvider.h>

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "settings/ini_file.h"
#include "settings/ini_text.h"

namespace {

namespace ini = dt::ini;

struct Name {
  std::string section;
  std::string key;
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
  return s;
}

// What reading back a stored value gives: the writer keeps the value on one
// line; the reader trims it, takes off one pair of quotes and caps its length.
std::string ReadBackForm(std::string_view cleanValue) {
  std::string_view v = Trim(cleanValue);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return std::string(v.substr(0, ini::kMaxValueBytes));
}

// Section and key names that occur in the content, found by a loose scan; a
// few are enough to see that a write leaves other entries alone.
void CollectNames(std::string_view content, std::vector<std::string>& sections,
                  std::vector<std::string>& keys) {
  std::size_t pos = 0;
  while (pos < content.size() && (sections.size() < 6 || keys.size() < 6)) {
    std::size_t end = content.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = content.size();
    const std::string_view line = Trim(content.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty()) continue;
    if (line.front() == '[') {
      const std::string name = ini::CleanName(line.substr(1, line.find(']') - 1));
      if (!name.empty() && sections.size() < 6) sections.push_back(name);
    } else if (const std::size_t eq = line.find('='); eq != std::string_view::npos) {
      const std::string name = ini::CleanName(line.substr(0, eq));
      if (!name.empty() && keys.size() < 6) keys.push_back(name);
    }
  }
}

// A name the file layout can carry: no "=" in a key, no "]" in a section, no
// key that reads as a header, and no lone lead byte at the end of a section
// name (it would pair with the closing "]").
bool Storable(const Name& name) {
  if (name.section.empty() || name.key.empty()) return false;
  if (name.key.find('=') != std::string::npos || name.key.front() == '[') return false;
  if (name.section.find(']') != std::string::npos) return false;
  std::size_t i = 0;
  while (i < name.section.size()) {
    i += (static_cast<unsigned char>(name.section[i]) >= 0x80) ? 2 : 1;
  }
  return i == name.section.size();
}

// One file in a private folder, reused by every input of this process.
std::string ScratchFile() {
  static const std::string path = [] {
    // Under TMPDIR, which the fuzz script points at a folder it removes.
    std::string pattern = (std::filesystem::temp_directory_path() / "dt-ini-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern + "/log.ini";
  }();
  return path;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  DT_FUZZ_CHECK(static_cast<bool>(out));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void CheckWrite(std::string& content, const Name& target, std::string_view rawValue,
                const std::vector<Name>& others) {
  const std::string value = ini::CleanValue(rawValue);
  std::vector<std::optional<std::string>> before;
  for (const Name& other : others)
    before.push_back(ini::LookupValue(content, other.section, other.key));

  const ini::Edit edit = ini::PlanWrite(content, target.section, target.key, value);
  DT_FUZZ_CHECK(edit.at <= content.size() && edit.erase <= content.size() - edit.at);
  std::string written = content;
  ini::ApplyEdit(written, edit);

  const auto readBack = ini::LookupValue(written, target.section, target.key);
  DT_FUZZ_CHECK(readBack && *readBack == ReadBackForm(value));
  const std::string foldedSection = ini::FoldName(target.section);
  const std::string foldedKey = ini::FoldName(target.key);
  for (std::size_t i = 0; i < others.size(); ++i) {
    if (ini::FoldName(others[i].section) == foldedSection &&
        ini::FoldName(others[i].key) == foldedKey)
      continue;
    DT_FUZZ_CHECK(ini::LookupValue(written, others[i].section, others[i].key) == before[i]);
  }
  content = std::move(written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Name first{ini::CleanName(in.ConsumeRandomLengthString(16)),
                   ini::CleanName(in.ConsumeRandomLengthString(16))};
  const std::string firstValue = in.ConsumeRandomLengthString(64);
  const Name second{ini::CleanName(in.ConsumeRandomLengthString(16)),
                    ini::CleanName(in.ConsumeRandomLengthString(16))};
  const std::string secondValue = in.ConsumeRandomLengthString(64);
  std::string content = in.ConsumeRemainingBytesAsString();

  // Reads of any names on any bytes: no crash, bounded values.
  std::vector<std::string> sections;
  std::vector<std::string> keys;
  CollectNames(content, sections, keys);
  if (!first.section.empty()) sections.push_back(first.section);
  if (!first.key.empty()) keys.push_back(first.key);
  std::vector<Name> names;
  for (const std::string& section : sections) {
    for (const std::string& key : keys) {
      names.push_back({section, key});
      const auto value = ini::LookupValue(content, section, key);
      DT_FUZZ_CHECK(!value || value->size() <= ini::kMaxValueBytes);
    }
  }
  if (!second.section.empty() && !second.key.empty()) names.push_back(second);

  // Two writes in a row, in memory and through the log writer on a real file,
  // which plans from its own streamed index: both must give the same bytes.
  if (!Storable(first)) return 0;
  const std::string path = ScratchFile();
  WriteFile(path, content);
  dt::IniAppendWriter writer(path);
  const bool firstStored = writer.Write(first.section, first.key, firstValue);
  CheckWrite(content, first, firstValue, names);
  DT_FUZZ_CHECK(firstStored && ReadFile(path) == content);
  if (!Storable(second)) return 0;
  names.push_back(first);
  const bool secondStored = writer.Write(second.section, second.key, secondValue);
  CheckWrite(content, second, secondValue, names);
  DT_FUZZ_CHECK(secondStored && ReadFile(path) == content);
  return 0;
}
