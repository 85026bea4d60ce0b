// The program's own settings, apart from the form's controls (which keep to
// their own file): for now the requests at once, in the INI file
// dovetrail.conf of the user's configuration folder, section [network].
#pragma once

#include <string>

namespace dt::shell {

class MainWindow;

inline constexpr char kProgramSettingsFileName[] = "dovetrail.conf";

// The file in the user's configuration folder; empty when there is none.
std::string ProgramSettingsPath();

// The file's requests at once; 1 for a missing file or key, a value that is
// no number or one outside 1 to 20.
int ReadRequestsAtOnce(const std::string& path);
// Writes the value, keeping the file's other keys; false when it could not
// be stored.
bool WriteRequestsAtOnce(const std::string& path, int count);

// Shows the file's value in the window's box and writes every change back.
void KeepRequestsAtOnceIn(MainWindow& window, const std::string& path);

}  // namespace dt::shell
