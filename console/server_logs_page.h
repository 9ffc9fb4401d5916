#pragma once
// The Server Logs page: the activity list (columns "UserName ", "IP Address       ", "Time",
// "Message"), its Copy and Clear All commands, and above it the proxies' live throughput chart
// (console/throughput_chart.h). New rows reach open pages through the event stream; the list
// lives in the console, so it survives reloads of the page. The list keeps only the newest
// rows (ActivityLog's bounds); older lines are in the daily files.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/activity_log.h"

namespace tw {

class ApiRouter;
class ConsoleOwner;

// Most rows sent in one reply or event; a page asks again for the rest.
constexpr std::size_t kLogRowsPerBatch = 500;

// The text Copy puts on the clipboard: each of the four columns preceded by one blank.
std::string CopyText(const ActivityRow& row);

// Up to kLogRowsPerBatch rows after seq `after`, as the page's table rows.
nlohmann::json RowsJson(const std::vector<ActivityRow>& rows, std::size_t first = 0);

// /api/logs, /api/logs/copy, /api/logs/clear, and the throughput chart's /api/throughput.
void RegisterServerLogsPage(ApiRouter& router, ConsoleOwner& owner);

}  // namespace tw
