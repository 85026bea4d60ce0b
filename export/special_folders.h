// The user's special folders, found through the platform's standard locations.
#pragma once

#include <string>

namespace dt {

// The folder of the given index with "/" appended, as a path in the
// filesystem's encoding (UTF-8):
//   0 templates, 1 documents ("Personal"), 2 desktop, 3 bookmarks, 4 the menu
//   that holds the programs, 5 programs started at log-in, 6 program entries.
// A folder this platform does not have, and any other index, give "/" alone.
// The folder is named, not made: it may not exist yet.
std::string ShellFolderPath(int index);

}  // namespace dt
