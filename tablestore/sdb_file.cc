#include "tablestore/sdb_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "tablestore/sdb_format.h"

namespace sdb {

bool File::Open(const std::string& path, bool writable) {
  Close();
  const int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd == -1) return false;
  fd_ = fd;
  writable_ = writable;
  return RefreshSize();
}

bool File::Create(const std::string& path) {
  Close();
  // Tables hold passwords: owner only. An existing file keeps the mode it has.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd == -1) return false;
  fd_ = fd;
  writable_ = true;
  return RefreshSize();
}

bool File::Truncate() {
  if (fd_ == -1 || ::ftruncate(fd_, 0) == -1) return false;
  size_ = 0;
  return true;
}

void File::Close() {
  if (fd_ == -1) return;
  if (locked_) Unlock();
  ::close(fd_);
  fd_ = -1;
  writable_ = false;
  size_ = 0;
}

bool File::Lock(bool exclusive) {
  if (fd_ == -1) return false;
  struct flock fl {};
  fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // the whole file, however long it grows
  int rc;
  do {
    rc = ::fcntl(fd_, F_OFD_SETLKW, &fl);
  } while (rc == -1 && errno == EINTR);
  if (rc == -1) return false;
  locked_ = true;
  return RefreshSize();
}

void File::Unlock() {
  if (fd_ == -1 || !locked_) return;
  struct flock fl {};
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  ::fcntl(fd_, F_OFD_SETLK, &fl);
  locked_ = false;
}

bool File::RefreshSize() {
  struct stat st {};
  if (::fstat(fd_, &st) == -1) return false;
  size_ = st.st_size;
  return true;
}

bool File::Read(int64_t pos, void* buffer, size_t n) {
  if (fd_ == -1 || pos < 0) return false;
  auto* p = static_cast<char*>(buffer);
  while (n > 0) {
    const ssize_t got = ::pread(fd_, p, n, pos);
    if (got == -1 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    pos += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool File::ValidItem(int64_t pos, int64_t n) const {
  return pos >= kHeaderSize && n >= 0 && pos <= size_ && n <= size_ - pos;
}

bool File::Write(int64_t pos, const void* buffer, size_t n) {
  if (fd_ == -1 || !writable_ || pos < 0) return false;
  const auto* p = static_cast<const char*>(buffer);
  while (n > 0) {
    const ssize_t put = ::pwrite(fd_, p, n, pos);
    if (put == -1 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    pos += put;
    n -= static_cast<size_t>(put);
  }
  if (pos > size_) size_ = pos;
  return true;
}

bool File::EndPosition(size_t n, int32_t* pos) const {
  const int64_t end = size_ < kHeaderSize ? kHeaderSize : size_;
  if (end + static_cast<int64_t>(n) > std::numeric_limits<int32_t>::max()) return false;
  *pos = static_cast<int32_t>(end);
  return true;
}

}  // namespace sdb
