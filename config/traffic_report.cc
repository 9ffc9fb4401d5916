#include "config/traffic_report.h"

#include <dirent.h>

#include <algorithm>
#include <map>
#include <unordered_map>

#include "config/data_dir.h"
#include "config/traffic_file.h"

namespace tw {

namespace {

// The programs' files of each month: month -> paths.
std::map<int, std::vector<std::string>> FilesByMonth(const std::string& dataDir, int first_month,
                                                     int last_month) {
  std::map<int, std::vector<std::string>> files;
  std::string dir = DataFilePath(dataDir, kTrafficDirName);
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return files;
  while (dirent* entry = readdir(d)) {
    std::string program;
    int month = 0;
    if (!ParseTrafficFileName(entry->d_name, &program, &month) || month < first_month ||
        month > last_month) {
      continue;
    }
    std::vector<std::string>& paths = files[month];
    if (paths.size() < kMaxTrafficFilesPerMonth) paths.push_back(DataFilePath(dir, entry->d_name));
  }
  closedir(d);
  for (auto& [month, paths] : files) std::sort(paths.begin(), paths.end());
  return files;
}

bool Busier(const AccountTraffic& a, const AccountTraffic& b) {
  if (a.bytes.Total() != b.bytes.Total()) return a.bytes.Total() > b.bytes.Total();
  if (a.account.kind != b.account.kind) return a.account.kind < b.account.kind;
  return a.account.name < b.account.name;
}

}  // namespace

TrafficReport ReadTrafficReport(const std::string& dataDir, int firstDay, int lastDay,
                                TrafficCaps caps) {
  TrafficReport report;
  firstDay = std::max(firstDay, lastDay - kTrafficKeepDays + 1);
  report.firstDay = firstDay;
  report.lastDay = lastDay;
  if (lastDay < firstDay) return report;
  report.days.resize(static_cast<std::size_t>(lastDay - firstDay + 1));

  std::unordered_map<TrafficAccount, ProxyBytes, TrafficAccountHash> totals;
  // One month at a time, so memory holds one month's days.
  for (auto& [file_month, paths] :
       FilesByMonth(dataDir, TrafficMonthOf(firstDay), TrafficMonthOf(lastDay))) {
    const int month = file_month;  // a lambda cannot capture a structured binding everywhere
    std::map<int, DayTraffic> days;
    for (const std::string& path : paths) {
      TrafficFileScan scan;
      std::string error;
      bool ok = ReadTrafficFile(
          path,
          [&](const TrafficRecord& r) {
            if (r.day < firstDay || r.day > lastDay || TrafficMonthOf(r.day) != month) return;
            days.try_emplace(r.day, caps).first->second.Add(r.account, r.bytes);
          },
          &scan, &error);
      if (!ok) report.problems.push_back(error);
    }
    for (auto& [day, traffic] : days) {
      traffic.Trim();
      ProxyBytes& day_total = report.days[static_cast<std::size_t>(day - firstDay)];
      for (const auto& [account, bytes] : traffic.accounts()) {
        for (int slot = 0; slot <= kLastProtocol; ++slot)
          report.proxies[slot].Add(bytes.proxy[slot]);
        ProxyBytes sum = bytes.Sum();
        day_total.Add(sum);
        totals[account].Add(sum);
      }
    }
  }
  report.accounts.reserve(totals.size());
  for (auto& [account, bytes] : totals) report.accounts.push_back({account, bytes});
  std::sort(report.accounts.begin(), report.accounts.end(), Busier);
  return report;
}

}  // namespace tw
