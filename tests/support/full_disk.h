// A full disk for one write: the write runs in a child process whose files
// cannot grow past a limit (RLIMIT_FSIZE), so a write that passes it fails
// part-way as on a full disk. Unlike permission bits this holds for root too.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace dt::testing {

// The write's result, or false when the child did not end normally.
inline bool WriteOnFullDisk(rlim_t fileSizeLimit, const std::function<bool()>& write) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);  // the write sees EFBIG instead of a signal
    const rlimit limit{fileSizeLimit, fileSizeLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(write() ? 0 : 1);
  }
  if (pid < 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace dt::testing
