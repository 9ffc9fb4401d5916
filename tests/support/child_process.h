#pragma once
// A helper program run by a test (a real server written in Python, say): started with its
// standard output on a pipe the test reads line by line, and killed and reaped when the
// object goes away, whatever the test's outcome.
#include <sys/types.h>

#include <string>
#include <vector>

namespace tw::test {

class ChildProcess {
 public:
  // argv[0] is the program's path. running() tells whether it started.
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool running() const { return pid_ > 0; }
  // The next line of its output without the line end; false when none came within timeout_ms
  // or the output ended.
  bool ReadLine(std::string* line, int timeout_ms = 20000);

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string pending_;
};

}  // namespace tw::test
