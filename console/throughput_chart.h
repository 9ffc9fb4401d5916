#pragma once
// The live throughput chart of the Server Logs page: the last five minutes of each proxy's
// bytes per second up and down, from the owner's ThroughputHistory. Any thread.
#include <nlohmann/json_fwd.hpp>
#include <vector>

#include "hosting/throughput_history.h"

namespace tw {

class ApiRouter;
class ConsoleOwner;

// {"seconds": kThroughputSeconds, "proxies": [{"proxy": 1..5, "name": "HTTP", "live",
//   "up": [bytes/s, oldest first], "down": [...]}]}
nlohmann::json ThroughputJson(const std::vector<ThroughputSeries>& series);

// GET /api/throughput
void RegisterThroughputChart(ApiRouter& router, ConsoleOwner& owner);

}  // namespace tw
