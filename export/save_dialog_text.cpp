#include "export/save_dialog_text.h"

#include "text/gbk_codec.h"
#include "text/gbk_text.h"

namespace dt {

// Every file (*.*), programs (*.exe), text files (*.txt); GBK.
const std::string_view kDefaultFilterText =
    "\xCB\xF9\xD3\xD0\xCE\xC4\xBC\xFE|*.*|\xD6\xB4\xD0\xD0\xCE\xC4\xBC\xFE|*.exe|"
    "\xCE\xC4\xB1\xBE\xCE\xC4\xBC\xFE|*.txt";

namespace {
constexpr std::string_view kStroke = "\xD8\xAD";          // 丨
constexpr std::string_view kFullWidthBlank = "\xA1\xA1";  // 全角空格
}  // namespace

std::vector<FilterPair> ParseFilterText(std::string_view filterGbk) {
  if (filterGbk.empty()) filterGbk = kDefaultFilterText;
  // Both the stroke and the full-width blank are double-byte characters, and
  // "|" (0x7C) can be a trail byte: every step goes character by character.
  std::string text = ReplaceText(filterGbk, kStroke, "|");
  text = ReplaceText(text, " ", "");
  text = ReplaceText(text, kFullWidthBlank, "");
  std::vector<FilterPair> pairs;
  const std::vector<std::string> items = SplitText(text, "|");
  for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
    if (items[i].empty() || items[i + 1].empty()) break;
    pairs.push_back({items[i], items[i + 1]});
  }
  return pairs;
}

std::vector<std::string> DialogNameFilters(std::string_view filterGbk) {
  std::vector<std::string> filters;
  for (const FilterPair& pair : ParseFilterText(filterGbk)) {
    std::string patterns;
    for (const std::string& pattern : SplitText(pair.pattern, ";")) {
      if (pattern.empty()) continue;
      if (!patterns.empty()) patterns.push_back(' ');
      patterns += pattern == "*.*" ? "*" : pattern;
    }
    filters.push_back(GbkToUtf8(pair.description) + " (" + GbkToUtf8(patterns) + ")");
  }
  return filters;
}

std::string DefaultSuffixFor(std::string_view nameFilter) {
  for (const std::string_view suffix : {"csv", "xlsx"}) {
    const std::string patterns = "(*." + std::string(suffix) + ")";
    if (nameFilter.size() >= patterns.size() &&
        nameFilter.substr(nameFilter.size() - patterns.size()) == patterns) {
      return std::string(suffix);
    }
  }
  return "txt";
}

std::string NormaliseInitialFolder(std::string_view folder, std::string_view programFolder) {
  std::string path(folder.empty() ? programFolder : folder);
  // Paths are UTF-8, where 0x5C never occurs inside a multi-byte character.
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  while (!path.empty() && path.back() == '/') path.pop_back();
  path.push_back('/');
  return path;
}

}  // namespace dt
