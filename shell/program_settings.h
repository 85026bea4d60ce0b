// The program's own settings, apart from the form's controls (which keep to
// their own file), in the INI file dovetrail.conf of the user's configuration
// folder: the requests at once (section [network]) and following the newest
// shops (section [follow]).
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

// Following the newest shops: whether the start button starts a follow run,
// and the wait between two polls.
struct FollowConfig {
  static constexpr int kDefaultPollSeconds = 60;
  static constexpr int kLeastPollSeconds = 5;
  static constexpr int kMostPollSeconds = 24 * 60 * 60;
  bool on = false;
  int pollSeconds = kDefaultPollSeconds;
};

// The file's [follow] section: a missing file or key gives the default; a
// poll that is no number gives the default, one out of bounds the nearest
// bound.
FollowConfig ReadFollowSettings(const std::string& path);
// Writes both keys, keeping the file's others; false when they could not be
// stored.
bool WriteFollowSettings(const std::string& path, const FollowConfig& follow);

}  // namespace dt::shell
