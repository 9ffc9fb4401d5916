#include "tests/support/child_process.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace tw::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& unset) {
  int fds[2];
  if (pipe(fds) == -1) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    for (const std::string& name : unset) unsetenv(name.c_str());
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  out_fd_ = fds[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ != -1) close(out_fd_);
}

bool ChildProcess::ReadSome(int timeout_ms) {
  pollfd p{out_fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buf[4096];
  ssize_t n = read(out_fd_, buf, sizeof buf);
  if (n <= 0) return false;
  output_.append(buf, static_cast<size_t>(n));
  return true;
}

bool ChildProcess::WaitForLine(const std::string& text, int timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t pos = output_.find(text, scanned_ > text.size() ? scanned_ - text.size() : 0);
    if (pos != std::string::npos) {
      scanned_ = pos + text.size();
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
  }
}

bool ChildProcess::ReadLine(std::string* line, int timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t nl = output_.find('\n', line_pos_);
    if (nl != std::string::npos) {
      *line = output_.substr(line_pos_, nl - line_pos_);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      line_pos_ = nl + 1;
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
  }
}

void ChildProcess::Signal(int sig) {
  if (pid_ > 0 && !exited_) kill(pid_, sig);
}

int ChildProcess::WaitExit(int timeout_ms) {
  if (pid_ <= 0) return -1;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      while (ReadSome(0)) {
      }
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() > until) return -1;
    if (!ReadSome(20)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace tw::test
