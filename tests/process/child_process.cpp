#include "tests/process/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace dt::testing {

ChildProcess::ChildProcess(const ChildOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& name : options.unsetEnv) env.erase(name);
  for (const auto& [name, value] : options.setEnv) env[name] = value;
  std::vector<std::string> envText;
  for (const auto& [name, value] : env) envText.push_back(name + "=" + value);
  std::vector<char*> envp, argv;
  for (auto& text : envText) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = options.args;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    if (!options.workingFolder.empty() && chdir(options.workingFolder.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid_ < 0) {
    close(pipeFds[0]);
    return;
  }
  reader_ = std::thread([this, fd = pipeFds[0]] { ReadOutput(fd); });
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !exit_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (reader_.joinable()) reader_.join();
}

void ChildProcess::ReadOutput(int fd) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
      changed_.notify_all();
    }
  }
  close(fd);
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (exit_) return exit_;
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      return exit_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool ChildProcess::WaitForLine(const std::string& line, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    for (const auto& seen : lines_)
      if (seen == line) return true;
    return false;
  });
}

std::vector<std::string> ChildProcess::Lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

void ChildProcess::Kill(int signal) {
  if (pid_ > 0 && !exit_) ::kill(pid_, signal);
}

}  // namespace dt::testing
