#include "platform/atomic_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tw {

namespace {

bool WriteWhole(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The rename is only durable once the directory entry is.
void SyncDirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd == -1) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, std::string_view text, mode_t mode,
                           std::string* error) {
  std::string tmp = path + ".XXXXXX";
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd == -1) {
    *error = "Cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = fchmod(fd, mode) == 0 && WriteWhole(fd, text) && fsync(fd) == 0;
  int err = errno;
  if (close(fd) == -1 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && rename(tmp.c_str(), path.c_str()) == -1) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    *error = "Cannot write " + path + ": " + std::strerror(err);
    return false;
  }
  SyncDirectoryOf(path);
  return true;
}

}  // namespace tw
