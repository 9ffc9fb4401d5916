#include "config/traffic_book.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "config/data_dir.h"
#include "config/traffic_file.h"
#include "platform/atomic_file.h"

namespace tw {

namespace {

constexpr std::uint64_t kCompactSlack = 64 * 1024;  // no compaction of a file below this growth

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// The records of days, each day trimmed to the caps first.
std::string EncodeDays(std::map<int, DayTraffic>& days) {
  std::string out;
  for (auto& [day, traffic] : days) {
    traffic.Trim();
    for (const auto& [account, bytes] : traffic.accounts()) {
      out += EncodeTrafficRecord(TrafficRecord{day, account, bytes});
    }
  }
  return out;
}

bool WriteAt(int fd, std::string_view bytes, off_t at) {
  while (!bytes.empty()) {
    ssize_t n = pwrite(fd, bytes.data(), bytes.size(), at);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
    at += n;
  }
  return true;
}

}  // namespace

TrafficBook::TrafficBook(std::string dataDir, std::string program, TrafficCaps caps)
    : dataDir_(std::move(dataDir)), program_(std::move(program)), caps_(caps) {}

void TrafficBook::Add(int day, int proxy, const TrafficAccount& account, std::uint64_t up,
                      std::uint64_t down) {
  MutexLock lock(mu_);
  auto found = pending_.find(day);
  if (found == pending_.end()) {
    if (pending_.size() >= kMaxPendingTrafficDays) return;
    found = pending_.emplace(day, DayTraffic(caps_)).first;
  }
  found->second.Add(account, proxy, up, down);
}

void TrafficBook::PutBack(Days days) {
  MutexLock lock(mu_);
  for (auto& [day, traffic] : days) {
    auto found = pending_.find(day);
    if (found == pending_.end()) {
      pending_.emplace(day, std::move(traffic));
    } else {
      found->second.Add(traffic);
    }
  }
}

bool TrafficBook::Flush(int today, std::string* error) {
  MutexLock flush_lock(flush_mu_);
  Days days;
  {
    MutexLock lock(mu_);
    days.swap(pending_);
  }
  const int first_kept = today - kTrafficKeepDays + 1;
  days.erase(days.begin(), days.lower_bound(first_kept));

  bool ok = true;
  std::map<int, Days> by_month;
  for (auto& [day, traffic] : days) by_month[TrafficMonthOf(day)].emplace(day, std::move(traffic));
  for (auto& [month, month_days] : by_month) {
    std::string bytes = EncodeDays(month_days);
    if (!Append(month, bytes, error)) {
      PutBack(std::move(month_days));
      ok = false;
      continue;
    }
    MonthFile& file = files_[month];
    if (file.length > 2 * file.compacted + kCompactSlack && !Compact(month, first_kept, error)) {
      ok = false;
    }
  }
  RemoveExpiredFiles(first_kept);
  return ok;
}

bool TrafficBook::Append(int month, const std::string& bytes, std::string* error) {
  std::string dir = DataFilePath(dataDir_, kTrafficDirName);
  if (mkdir(dir.c_str(), 0700) == -1 && errno != EEXIST) {
    *error = ErrnoText("Cannot create", dir);
    return false;
  }
  std::string path = TrafficFilePath(dataDir_, program_, month);
  MonthFile& file = files_[month];
  if (!file.scanned) {
    TrafficFileScan scan;
    if (!ReadTrafficFile(
            path, [](const TrafficRecord&) {}, &scan, error))
      return false;
    file.length = file.compacted = scan.soundLength;
    file.scanned = true;
  }
  if (file.length + bytes.size() > kMaxTrafficFileBytes) {
    *error = "Cannot write " + path + ": the file is full";
    return false;
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd == -1) {
    *error = ErrnoText("Cannot open", path);
    return false;
  }
  // A torn record after the last whole one (a crash in a write) goes before the next one.
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 &&
            (static_cast<std::uint64_t>(st.st_size) == file.length ||
             ftruncate(fd, static_cast<off_t>(file.length)) == 0) &&
            WriteAt(fd, bytes, static_cast<off_t>(file.length)) && fdatasync(fd) == 0;
  if (!ok) {
    *error = ErrnoText("Cannot write", path);
    if (ftruncate(fd, static_cast<off_t>(file.length)) == -1) file.scanned = false;
  } else {
    file.length += bytes.size();
  }
  close(fd);
  return ok;
}

// Sums the file's records per day and account, drops the days before first_kept_day and
// writes the sums in place of the file.
bool TrafficBook::Compact(int month, int first_kept_day, std::string* error) {
  std::string path = TrafficFilePath(dataDir_, program_, month);
  Days days;
  TrafficFileScan scan;
  bool read = ReadTrafficFile(
      path,
      [&](const TrafficRecord& r) {
        if (r.day < first_kept_day || TrafficMonthOf(r.day) != month) return;
        days.try_emplace(r.day, caps_).first->second.Add(r.account, r.bytes);
      },
      &scan, error);
  if (!read) return false;
  std::string bytes = EncodeDays(days);
  if (!ReplaceFileAtomically(path, bytes, 0600, error)) return false;
  MonthFile& file = files_[month];
  file.length = file.compacted = bytes.size();
  file.scanned = true;
  return true;
}

void TrafficBook::RemoveExpiredFiles(int first_kept_day) {
  std::string dir = DataFilePath(dataDir_, kTrafficDirName);
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<int> expired;
  while (dirent* entry = readdir(d)) {
    std::string program;
    int month = 0;
    if (ParseTrafficFileName(entry->d_name, &program, &month) && program == program_ &&
        TrafficLastDayOfMonth(month) < first_kept_day) {
      expired.push_back(month);
    }
  }
  closedir(d);
  for (int month : expired) {
    unlink(TrafficFilePath(dataDir_, program_, month).c_str());
    files_.erase(month);
  }
}

}  // namespace tw
