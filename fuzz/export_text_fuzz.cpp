// The save dialog's filter text and folder, and the export lines built from
// result cells: the cells hold page bytes, so anything at all.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "export/export_results.h"
#include "export/save_dialog_text.h"
#include "fuzz/fuzz_check.h"
#include "text/gbk_text.h"

namespace {

bool IsUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80           ? 1
                          : (c >> 5) == 0x6  ? 2
                          : (c >> 4) == 0xE  ? 3
                          : (c >> 3) == 0x1E ? 4
                                             : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) return false;
    }
    i += n;
  }
  return true;
}

void CheckFilter(std::string_view filter) {
  const std::vector<dt::FilterPair> pairs = dt::ParseFilterText(filter);
  if (filter.empty()) DT_FUZZ_CHECK(pairs.size() == 3);
  DT_FUZZ_CHECK(pairs.size() <= filter.size() / 2 + 3);
  for (const dt::FilterPair& pair : pairs) {
    for (const std::string* item : {&pair.description, &pair.pattern}) {
      DT_FUZZ_CHECK(!item->empty());
      DT_FUZZ_CHECK(dt::FindText(*item, "|") == -1);
      DT_FUZZ_CHECK(dt::FindText(*item, " ") == -1);
      DT_FUZZ_CHECK(dt::FindText(*item, "\xA1\xA1") == -1);
      DT_FUZZ_CHECK(dt::FindText(*item, "\xD8\xAD") == -1);
    }
  }
  const std::vector<std::string> filters = dt::DialogNameFilters(filter);
  DT_FUZZ_CHECK(filters.size() == pairs.size());
  for (const std::string& shown : filters) {
    DT_FUZZ_CHECK(IsUtf8(shown));
    DT_FUZZ_CHECK(shown.size() >= 4 && shown.back() == ')');
    DT_FUZZ_CHECK(shown.find(" (") != std::string::npos);
  }
}

void CheckFolder(std::string_view folder, std::string_view programFolder) {
  const std::string path = dt::NormaliseInitialFolder(folder, programFolder);
  DT_FUZZ_CHECK(!path.empty() && path.back() == '/');
  DT_FUZZ_CHECK(path.size() == 1 || path[path.size() - 2] != '/');
  DT_FUZZ_CHECK(path.find('\\') == std::string::npos);
  std::string given(folder.empty() ? programFolder : folder);
  for (char& c : given) {
    if (c == '\\') c = '/';
  }
  DT_FUZZ_CHECK(given.compare(0, path.size() - 1, path, 0, path.size() - 1) == 0);
  DT_FUZZ_CHECK(given.find_first_not_of('/', path.size() - 1) == std::string::npos);
}

void CheckExport(FuzzedDataProvider& in) {
  dt::ExportOptions options;
  options.shopName = in.ConsumeBool();
  options.shopAddress = in.ConsumeBool();
  options.creationDate = in.ConsumeBool();
  options.creditLevel = in.ConsumeBool();
  options.itemCount = in.ConsumeBool();
  const bool chosen[8] = {false,
                          false,
                          false,
                          options.shopName,
                          options.shopAddress,
                          options.creationDate,
                          options.creditLevel,
                          options.itemCount};
  const std::size_t rows = in.ConsumeIntegralInRange<std::size_t>(0, 12);
  std::vector<std::array<std::string, 8>> cells(rows);
  bool plain = true;  // no cell holds a blank or a line break
  for (auto& row : cells) {
    for (std::string& cell : row) {
      cell = in.ConsumeRandomLengthString(24);
      plain = plain && cell.find_first_of(" \r\n") == std::string::npos;
    }
  }
  const std::string text = dt::BuildExportText(
      rows,
      [&](std::size_t row, int column) {
        DT_FUZZ_CHECK(row < rows && column >= 1 && column <= 7 && column != 2);
        DT_FUZZ_CHECK(column == 1 || chosen[column]);
        return cells[row][static_cast<std::size_t>(column)];
      },
      options);

  std::size_t expectedSize = 0;
  for (const auto& row : cells) {
    expectedSize += row[1].size() + 2;
    for (int column = 3; column <= 7; ++column) {
      if (chosen[column]) expectedSize += 1 + row[static_cast<std::size_t>(column)].size();
    }
  }
  DT_FUZZ_CHECK(text.size() == expectedSize);
  if (!plain) return;
  // Without blanks and breaks in the cells, the lines read back as the cells.
  // (A byte split: a cell may end in a lead byte, which must not swallow the CR.)
  std::vector<std::string> lines;
  for (std::size_t from = 0; from < text.size();) {
    const std::size_t end = text.find("\r\n", from);
    DT_FUZZ_CHECK(end != std::string::npos);
    lines.push_back(text.substr(from, end - from));
    from = end + 2;
  }
  DT_FUZZ_CHECK(lines.size() == rows);
  for (std::size_t r = 0; r < rows; ++r) {
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (;;) {
      const std::size_t blank = lines[r].find(' ', from);
      fields.push_back(lines[r].substr(from, blank - from));
      if (blank == std::string::npos) break;
      from = blank + 1;
    }
    std::size_t f = 0;
    DT_FUZZ_CHECK(fields[f++] == cells[r][1]);
    for (int column = 3; column <= 7; ++column) {
      if (!chosen[column]) continue;
      DT_FUZZ_CHECK(f < fields.size() && fields[f++] == cells[r][static_cast<std::size_t>(column)]);
    }
    DT_FUZZ_CHECK(f == fields.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string folder = in.ConsumeRandomLengthString(64);
  const std::string programFolder = in.ConsumeRandomLengthString(64);
  CheckFolder(folder, programFolder);
  CheckExport(in);
  CheckFilter(in.ConsumeRemainingBytesAsString());
  return 0;
}
