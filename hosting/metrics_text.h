#pragma once
// The monitoring figures of the proxies in the Prometheus text exposition format (version
// 0.0.4): live connections, clients accepted, refusals by reason, bytes relayed each way,
// logins checked, and the connect and name-lookup latency histograms. Every metric is named
// "tarnwick_..." and labelled only with fixed words (proxy, direction, reason, result), so no
// label value ever needs escaping.
//
// RenderMetrics is pure; ManagerMetricsText reads a running manager's listeners and may be
// called from any thread (the console's request workers, kestrane's metrics listener).
#include <cstdint>
#include <span>
#include <string>

#include "engine/core/connection_tally.h"
#include "engine/core/proxy_counters.h"

namespace tw {

class ServerManager;

// What a scrape is answered with besides the text.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// One proxy's figures as read at one moment.
struct ProxyFigures {
  std::int32_t proxy = 0;  // 1 HTTP .. 5 SOCKS; other ids are left out of the text
  ProxyTotals totals;
  CounterFigures counters;
};

// The exposition text of the given proxies, metric by metric, in the order given.
std::string RenderMetrics(std::span<const ProxyFigures> proxies);

// The text of the manager's five listeners, whether they run or not.
std::string ManagerMetricsText(ServerManager& manager);

}  // namespace tw
