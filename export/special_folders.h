// The user's special folders, found through the platform's standard locations.
#pragma once

#include <string>

namespace dt {

// The folder of the given index with "/" appended, as a path in the
// filesystem's encoding (UTF-8):
//   0 Templates, 1 Personal (the documents folder), 2 Desktop, 3 Favorites,
//   4 Start Menu, 5 Startup, 6 Programs.
// A folder this platform does not have, and any other index, give "/" alone.
// The folder is named, not made: it may not exist yet.
std::string ShellFolderPath(int index);

}  // namespace dt
