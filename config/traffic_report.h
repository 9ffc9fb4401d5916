#pragma once
// The traffic figures the pages show, summed over every program's month files in the data
// directory (traffic_file.h): per account for a range of days, per day, per proxy.
// Each day is held to TrafficCaps after the files are summed, so a day shows at most the
// 1,000 busiest guests, however the programs split them.
//
// Reads files only; any thread. Damaged records are passed over (a file being appended to
// may end in a torn record for a moment); a file that cannot be read adds what was read
// before the failure, and the failure goes to `problems`.
#include <string>
#include <vector>

#include "config/traffic_counts.h"

namespace tw {

constexpr std::size_t kMaxTrafficFilesPerMonth = 16;  // programs' files summed per month

struct AccountTraffic {
  TrafficAccount account;
  ProxyBytes bytes;
};

struct TrafficReport {
  int firstDay = 0;
  int lastDay = 0;
  std::vector<AccountTraffic> accounts;   // busiest first, then by kind and name
  std::vector<ProxyBytes> days;           // one per day, firstDay..lastDay
  ProxyBytes proxies[kLastProtocol + 1];  // index 0: proxy ids outside 1..5
  std::vector<std::string> problems;
};

// The figures of firstDay..lastDay (day numbers, traffic_counts.h); a range longer than
// kTrafficKeepDays is cut to its last kTrafficKeepDays days, an inverted one is empty.
TrafficReport ReadTrafficReport(const std::string& dataDir, int firstDay, int lastDay,
                                TrafficCaps caps = {});

}  // namespace tw
