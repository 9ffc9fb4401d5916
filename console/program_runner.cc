#include "console/program_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace tw {

namespace {

void CloseFd(int* fd) {
  if (*fd != -1) close(*fd);
  *fd = -1;
}

// Keeps what fits of a chunk of output.
void Keep(std::string* output, const char* data, size_t n) {
  size_t room = kMaxProgramOutput - output->size();
  output->append(data, n < room ? n : room);
}

// Reads what is available on fd. False once the pipe is at its end (or broken).
bool ReadAvailable(int fd, std::string* output) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) {
    Keep(output, buf, static_cast<size_t>(n));
    return true;
  }
  return n == -1 && (errno == EINTR || errno == EAGAIN);
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(char* const* argv, int out_fd, int status_fd) {
  setpgid(0, 0);
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd != -1) dup2(null_fd, 0);
  dup2(out_fd, 1);
  dup2(out_fd, 2);
  execvp(argv[0], argv);
  int err = errno;
  ssize_t ignored = write(status_fd, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

// The errno the child reported before exec failed, or 0 once exec succeeded (the status pipe
// closed on exec).
int ExecError(int status_fd) {
  int err = 0;
  ssize_t n;
  do {
    n = read(status_fd, &err, sizeof err);
  } while (n == -1 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof err) ? err : 0;
}

void Describe(int status, ProgramOutcome* out) {
  if (WIFEXITED(status)) {
    out->exited = true;
    out->exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    out->signal = WTERMSIG(status);
  }
}

// Kills the program's process group after its time limit. A group that may not be signalled
// (a program that changed its user) is left to a thread that reaps it whenever it ends.
void KillAndReap(pid_t pid, ProgramOutcome* out) {
  out->timed_out = true;
  if (kill(-pid, SIGKILL) == -1 && kill(pid, SIGKILL) == -1) {
    std::thread([pid] {
      int status = 0;
      waitpid(pid, &status, 0);
    }).detach();
    return;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) == pid) Describe(status, out);
}

}  // namespace

ProgramOutcome RunProgram(const std::vector<std::string>& argv, int time_limit_ms) {
  ProgramOutcome out;
  if (argv.empty() || argv[0].empty()) {
    out.error = "no program given";
    return out;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int out_pipe[2], status_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) == -1) {
    out.error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return out;
  }
  if (pipe2(status_pipe, O_CLOEXEC) == -1) {
    out.error = std::string("cannot make a pipe: ") + std::strerror(errno);
    close(out_pipe[0]);
    close(out_pipe[1]);
    return out;
  }
  pid_t pid = fork();
  if (pid == 0) ExecChild(args.data(), out_pipe[1], status_pipe[1]);
  int read_fd = out_pipe[0];
  close(out_pipe[1]);
  close(status_pipe[1]);
  if (pid == -1) {
    out.error = std::string("cannot start a process: ") + std::strerror(errno);
    close(read_fd);
    close(status_pipe[0]);
    return out;
  }
  int exec_error = ExecError(status_pipe[0]);
  close(status_pipe[0]);
  if (exec_error != 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    close(read_fd);
    out.error = "cannot run " + argv[0] + ": " + std::strerror(exec_error);
    return out;
  }
  out.started = true;

  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(time_limit_ms);
  // The pidfd tells when the program itself ends, even while something it started keeps the
  // output pipe open; without one the end of the output stands for the end of the program.
  int pid_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  bool ended = false;
  while (!ended && (read_fd != -1 || pid_fd != -1)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd fds[2] = {{read_fd, POLLIN, 0}, {pid_fd, POLLIN, 0}};
    int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready == -1 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (fds[0].revents != 0 && !ReadAvailable(read_fd, &out.output)) {
      CloseFd(&read_fd);
      if (pid_fd == -1) ended = true;
    }
    if (fds[1].revents != 0) ended = true;
  }
  if (ended && read_fd != -1) {
    // The program is gone: take what it left in the pipe without waiting for others.
    fcntl(read_fd, F_SETFL, O_NONBLOCK);
    char buf[4096];
    ssize_t n;
    while ((n = read(read_fd, buf, sizeof buf)) > 0) Keep(&out.output, buf, static_cast<size_t>(n));
  }
  CloseFd(&read_fd);
  CloseFd(&pid_fd);
  if (!ended) {
    KillAndReap(pid, &out);
    return out;
  }
  int status = 0;
  pid_t got;
  do {
    got = waitpid(pid, &status, 0);
  } while (got == -1 && errno == EINTR);
  if (got == pid) {
    Describe(status, &out);
  } else {
    out.error = std::string("cannot wait for ") + argv[0] + ": " + std::strerror(errno);
  }
  return out;
}

}  // namespace tw
