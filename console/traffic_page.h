#pragma once
// The Traffic page and the traffic columns of the User Account page: figures summed over
// every program's traffic files (config/traffic_report.h). The page reads files only, so its
// functions run on any thread; its route first flushes the console's own book, so what this
// console counted until now is shown too (the service's figures are as fresh as its last
// flush).
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "config/traffic_counts.h"
#include "console/user_account_page.h"

namespace tw {

class ApiRouter;
class ConsoleOwner;

constexpr int kTrafficChartDays = 30;

// "YYYY-MM" (year 1970..9999, month 01..12) as year * 100 + month; false for anything else.
bool ParseTrafficMonth(std::string_view text, int* month);

// What the Account column shows: the user name, "Guest <address>", "Other users",
// "Other guests".
std::string TrafficAccountLabel(const TrafficAccount& account);

// The month's totals per account (busiest first) and the last kTrafficChartDays days up to
// today:
// {"month": "YYYY-MM", "rows": [{"kind": "user"|"guest"|"other-users"|"other-guests",
//   "account", "up", "down", "total"}], "total": {"up", "down"},
//  "days": [{"date": "YYYY-MM-DD", "up", "down"}], "problems": [text]}
nlohmann::json TrafficPageJson(const std::string& dataDir, int month, int today);

// Sets each row's today and month bytes (up + down) from the files.
void FillUserTraffic(const std::string& dataDir, int today, std::vector<UserRow>* rows);

// GET /api/traffic?month=YYYY-MM
void RegisterTrafficPage(ApiRouter& router, ConsoleOwner& owner);

}  // namespace tw
