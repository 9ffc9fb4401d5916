#include "hosting/program_start.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "config/data_dir.h"

namespace tw {

InstanceLock::InstanceLock(const std::string& dataDir, const char* fileName) {
  fd_ = open(DataFilePath(dataDir, fileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ == -1) openError_ = errno;
  held_ = fd_ != -1 && flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

InstanceLock::~InstanceLock() {
  if (fd_ != -1) close(fd_);
}

int StopSignalDescriptor() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

std::string AbsoluteDir(const std::string& dir) {
  if (!dir.empty() && dir[0] == '/') return dir;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return dir;
  return std::string(cwd) + "/" + dir;
}

}  // namespace tw
