// The fresh installation of a data directory: the five account tables (the server table with
// its five proxies enabled, the group table with a "[Guest]" group), the three refusal pages,
// the log/ subdirectory, and the monitoring endpoint's [Server] metrics_token in option.ini.
// Only what is missing is made; an existing file or token is never touched, and a file is
// never half made even when another process installs into the same directory at the same
// moment (each file is built under a temporary name and linked into place only if its name is
// still free). What is made is its owner's only: files 0600, the data directory and log/ 0700.
#pragma once

#include <string>
#include <vector>

namespace tw {

constexpr char kIpBlockPageFile[] = "ipblock.html";
constexpr char kWebFilterPageFile[] = "webfilter.html";
constexpr char kSchedulePageFile[] = "schedule.html";
// Random bytes of a new metrics token (written as twice as many hex digits).
constexpr int kMetricsTokenBytes = 16;

// Makes the data directory when missing, then every missing installation file. created
// (optional) receives the names made by this call. False with *error on the first failure;
// what was made before it stays.
bool InstallMissingDataFiles(const std::string& data_dir, std::string* error,
                             std::vector<std::string>* created = nullptr);

}  // namespace tw
