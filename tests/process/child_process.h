// A program started by a test: argument list (never a shell), its own
// environment changes and working folder, stdout collected line by line.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace dt::testing {

struct ChildOptions {
  std::vector<std::string> args;              // args[0] is the program path
  std::map<std::string, std::string> setEnv;  // added or replaced
  std::vector<std::string> unsetEnv;
  std::string workingFolder;  // empty: the test's own
};

class ChildProcess {
 public:
  explicit ChildProcess(const ChildOptions& options);
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  // The exit code once the child has ended within timeout; nullopt when it
  // still runs (or was ended by a signal: then -signal).
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  // Waits until a stdout line equal to line has been printed.
  bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout);
  std::vector<std::string> Lines();
  void Kill(int signal);

 private:
  void ReadOutput(int fd);

  pid_t pid_ = -1;
  std::optional<int> exit_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

}  // namespace dt::testing
