#include "config/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "config/data_dir.h"

namespace tw {
namespace {

void MakeDirectory(const std::string& dir) {
  if (dir.empty()) return;
  // An existing directory is the normal case; any other failure shows up at open.
  // Owner only: the lines name users, addresses and sites.
  ::mkdir(dir.c_str(), 0700);
}

}  // namespace

bool CLogFile::Open(const std::string& path) {
  Close();
  path_ = path;
  error_.clear();
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ == -1) {
    error_ = "Cannot create or open file: '" + path + "'";
    return false;
  }
  return true;
}

std::string CLogFile::DailyPath(const LocalTime& t) const {
  char name[32];
  std::snprintf(name, sizeof name, "log/%04d%02d%02d.txt", t.year, t.month, t.day);
  return DataFilePath(base_dir_, name);
}

bool CLogFile::OpenForToday(const Clock& clock) {
  LocalTime now = clock.Now();
  day_ = now.day;
  MakeDirectory(base_dir_);
  // The log/ subdirectory is made too: without it no daily line could ever be written.
  MakeDirectory(DataFilePath(base_dir_, "log"));
  return Open(DailyPath(now));
}

void CLogFile::WriteLine(std::string_view text) {
  if (fd_ == -1) return;
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line += '\n';
  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t n = ::write(fd_, rest.data(), rest.size());
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk loses the line, never the program
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

void CLogFile::Close() {
  if (fd_ != -1) ::close(fd_);
  fd_ = -1;
}

}  // namespace tw
