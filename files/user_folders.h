// The user's own folders, named by what they hold. Each path is UTF-8 and ends
// with "/"; the empty text means the folder is not known here (no home folder,
// or a folder this platform has no counterpart of). A folder is named, not
// made: it may not exist yet.
#pragma once

#include <string>

namespace dt {

enum class UserFolder {
  Documents,
  Desktop,
  Templates,
  Applications,  // the menu's program entries
  Autostart,     // programs started at log-in
  Data,          // this program's own data, e.g. ~/.local/share/dovetrail/
  Config,        // this program's own settings, e.g. ~/.config/dovetrail/
};

std::string UserFolderPath(UserFolder folder);

// The folder of the program's own files that the user may write to: the
// preferred one when it is writable, else the user's data folder (made when
// missing). Empty when neither can be had.
std::string WritableProgramFolder(const std::string& preferred);

}  // namespace dt
