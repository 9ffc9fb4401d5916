#include "hosting/metrics_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/protocols.h"

namespace tw {
namespace {

// The whole text for one proxy, so the format (HELP and TYPE lines, label order, cumulative
// buckets, the sum in seconds, the count equal to +Inf) is seen exactly where it is made. The
// figures come through real counters, so a value on a bucket's bound lands in that bucket.
TEST(MetricsTextTest, OneProxyGivesTheExactExpositionText) {
  ProxyCounters counters;
  for (int i = 0; i < 3; ++i) counters.Accepted();
  counters.Refused(Refusal::kClientFull);
  counters.Refused(Refusal::kWebFilter);
  counters.Refused(Refusal::kWebFilter);
  counters.Login(true);
  counters.Login(false);
  counters.Login(false);
  counters.connect().Observe(1000);      // on the 1 ms bound
  counters.connect().Observe(1001);      // just above it
  counters.connect().Observe(10000001);  // beyond the last bound
  std::vector<ProxyFigures> figures = {
      {kProtocolSocks, ProxyTotals{1500, 250000, 2}, counters.Snapshot()},
      {9, ProxyTotals{7, 7, 7}, {}},  // no such proxy: left out
  };
  const std::string expected =
      "# HELP tarnwick_connections_live Client connections open now.\n"
      "# TYPE tarnwick_connections_live gauge\n"
      "tarnwick_connections_live{proxy=\"socks\"} 2\n"
      "# HELP tarnwick_connections_accepted_total Client connections accepted since the program "
      "started.\n"
      "# TYPE tarnwick_connections_accepted_total counter\n"
      "tarnwick_connections_accepted_total{proxy=\"socks\"} 3\n"
      "# HELP tarnwick_refusals_total Clients or requests refused since the program started, by "
      "reason.\n"
      "# TYPE tarnwick_refusals_total counter\n"
      "tarnwick_refusals_total{proxy=\"socks\",reason=\"client_full\"} 1\n"
      "tarnwick_refusals_total{proxy=\"socks\",reason=\"total_full\"} 0\n"
      "tarnwick_refusals_total{proxy=\"socks\",reason=\"guest_not_allowed\"} 0\n"
      "tarnwick_refusals_total{proxy=\"socks\",reason=\"logins_blocked\"} 0\n"
      "tarnwick_refusals_total{proxy=\"socks\",reason=\"account_rule\"} 0\n"
      "tarnwick_refusals_total{proxy=\"socks\",reason=\"destination_refused\"} 0\n"
      "tarnwick_refusals_total{proxy=\"socks\",reason=\"web_filter\"} 2\n"
      "# HELP tarnwick_relayed_bytes_total Bytes relayed since the program started: up from "
      "clients, down to them.\n"
      "# TYPE tarnwick_relayed_bytes_total counter\n"
      "tarnwick_relayed_bytes_total{proxy=\"socks\",direction=\"up\"} 1500\n"
      "tarnwick_relayed_bytes_total{proxy=\"socks\",direction=\"down\"} 250000\n"
      "# HELP tarnwick_logins_total Logins checked against the accounts since the program "
      "started; failed: wrong user name or password.\n"
      "# TYPE tarnwick_logins_total counter\n"
      "tarnwick_logins_total{proxy=\"socks\",result=\"ok\"} 1\n"
      "tarnwick_logins_total{proxy=\"socks\",result=\"failed\"} 2\n"
      "# HELP tarnwick_connect_duration_seconds Time from the start of a destination connect to "
      "its success.\n"
      "# TYPE tarnwick_connect_duration_seconds histogram\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"0.001\"} 1\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"0.0025\"} 2\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"0.005\"} 2\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"0.01\"} 2\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"0.025\"} 2\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"0.05\"} 2\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"0.1\"} 2\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"0.25\"} 2\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"0.5\"} 2\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"1\"} 2\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"2.5\"} 2\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"5\"} 2\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"10\"} 2\n"
      "tarnwick_connect_duration_seconds_bucket{proxy=\"socks\",le=\"+Inf\"} 3\n"
      "tarnwick_connect_duration_seconds_sum{proxy=\"socks\"} 10.002002\n"
      "tarnwick_connect_duration_seconds_count{proxy=\"socks\"} 3\n"
      "# HELP tarnwick_resolve_duration_seconds Time a destination name lookup took, whatever "
      "its outcome.\n"
      "# TYPE tarnwick_resolve_duration_seconds histogram\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"0.001\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"0.0025\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"0.005\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"0.01\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"0.025\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"0.05\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"0.1\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"0.25\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"0.5\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"1\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"2.5\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"5\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"10\"} 0\n"
      "tarnwick_resolve_duration_seconds_bucket{proxy=\"socks\",le=\"+Inf\"} 0\n"
      "tarnwick_resolve_duration_seconds_sum{proxy=\"socks\"} 0.000000\n"
      "tarnwick_resolve_duration_seconds_count{proxy=\"socks\"} 0\n";
  EXPECT_EQ(RenderMetrics(figures), expected);
}

}  // namespace
}  // namespace tw
