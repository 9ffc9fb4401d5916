#pragma once
// A program run by a test: its standard output and error are read through one pipe, lines can
// be awaited with a time limit, and it is killed if still running when the object goes.
#include <sys/types.h>

#include <string>
#include <vector>

namespace tw::test {

class ChildProcess {
 public:
  // argv[0] is the program path; `unset` names environment variables removed for the child.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& unset = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads output until a line containing `text` arrives (true) or the time limit or the end of
  // the output passes (false).
  bool WaitForLine(const std::string& text, int timeout_ms = 10000);
  // Everything read so far.
  const std::string& output() const { return output_; }
  void Signal(int sig);
  // The exit code once the program ended within the time limit; -1 otherwise (it is killed).
  int WaitExit(int timeout_ms = 10000);

 private:
  bool ReadSome(int timeout_ms);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string output_;
  size_t scanned_ = 0;
  bool exited_ = false;
};

}  // namespace tw::test
