#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace tw::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int out[2];
  if (argv.empty() || pipe2(out, O_CLOEXEC) == -1) return;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == -1) {
    close(out[0]);
    close(out[1]);
    return;
  }
  if (pid == 0) {
    dup2(out[1], 1);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  pid_ = pid;
  out_fd_ = out[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (out_fd_ != -1) close(out_fd_);
}

bool ChildProcess::ReadLine(std::string* line, int timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t lf = pending_.find('\n');
    if (lf != std::string::npos) {
      *line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      return true;
    }
    if (out_fd_ == -1) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p = {out_fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[512];
    ssize_t n = read(out_fd_, buf, sizeof buf);
    if (n <= 0) return false;
    pending_.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace tw::test
