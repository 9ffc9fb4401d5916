#include "config/log_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/data_dir.h"

namespace tw {
namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long DaysFromCivil(int year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  long era = (year >= 0 ? year : year - 399) / 400;
  long yoe = year - era * 400;
  long doy = (153L * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The date of a daily file's name "YYYYMMDD.txt" as days since 1970; false for other names.
bool DailyFileDay(const char* name, long* days) {
  if (std::strlen(name) != 12 || std::strcmp(name + 8, ".txt") != 0) return false;
  int parts[3] = {0, 0, 0};
  const int widths[3] = {4, 2, 2};
  const char* p = name;
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; k < widths[i]; ++k, ++p) {
      if (*p < '0' || *p > '9') return false;
      parts[i] = parts[i] * 10 + (*p - '0');
    }
  }
  if (parts[1] < 1 || parts[1] > 12 || parts[2] < 1 || parts[2] > 31) return false;
  *days = DaysFromCivil(parts[0], parts[1], parts[2]);
  return true;
}

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
  WriteLines(line);
}

void CLogFile::WriteLines(std::string_view lines) {
  if (fd_ == -1) return;
  std::string_view rest = lines;
  while (!rest.empty()) {
    ssize_t n = ::write(fd_, rest.data(), rest.size());
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk loses the line, never the program
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

int RemoveExpiredDailyFiles(const std::string& base_dir, const LocalTime& today, int keepDays) {
  if (keepDays < 1) return 0;
  std::string dir = DataFilePath(base_dir, "log");
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return 0;
  long oldest = DaysFromCivil(today.year, today.month, today.day) - keepDays;
  int removed = 0;
  while (dirent* e = ::readdir(d)) {
    long days = 0;
    if (!DailyFileDay(e->d_name, &days) || days > oldest) continue;
    if (::unlink((dir + "/" + e->d_name).c_str()) == 0) ++removed;
  }
  ::closedir(d);
  return removed;
}

void CLogFile::Close() {
  if (fd_ != -1) ::close(fd_);
  fd_ = -1;
}

}  // namespace tw
