// Text conventions of the save-file dialog: the filter text and the initial
// folder, turned into what the dialog shows. Pure functions, no widgets.
//
// A filter text alternates descriptions and patterns; "|" or the stroke "丨"
// (GBK D8 AD) stands between any two items, as in "文本文件丨*.txt". Blanks (0x20 and the
// full-width A1 A1) are removed everywhere, descriptions included.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dt {

// The filter offered when the caller gives none: every file, programs, text files.
extern const std::string_view kDefaultFilterText;

struct FilterPair {
  std::string description;  // GBK
  std::string pattern;      // e.g. "*.txt" or "*.txt;*.log"
};

// The pairs of a filter text (the default when empty). The list ends at the
// first empty item, and a description without a pattern is dropped.
std::vector<FilterPair> ParseFilterText(std::string_view filterGbk);

// The same pairs as the toolkit's name filters, in UTF-8: "文本文件 (*.txt)".
// Patterns separated by ";" become blank-separated, and "*.*" (every file)
// becomes "*".
std::vector<std::string> DialogNameFilters(std::string_view filterGbk);

// The extension a name typed without one gets under the chosen name filter
// (as DialogNameFilters gives it): "csv" and "xlsx" for the table filters,
// "txt" for every other filter.
std::string DefaultSuffixFor(std::string_view nameFilter);

// The folder the dialog opens in, with "/" separators and exactly one
// trailing "/": the given folder, or programFolder when none is given.
// Folders are paths in the filesystem's encoding.
std::string NormaliseInitialFolder(std::string_view folder, std::string_view programFolder);

}  // namespace dt
