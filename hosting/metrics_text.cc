#include "hosting/metrics_text.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "config/protocols.h"
#include "hosting/server_manager.h"

namespace tw {

namespace {

// The latency bounds as the "le" labels write them, beside kLatencyBoundsUs.
constexpr const char* kBoundLabels[kLatencyBuckets] = {"0.001", "0.0025", "0.005", "0.01", "0.025",
                                                       "0.05",  "0.1",    "0.25",  "0.5",  "1",
                                                       "2.5",   "5",      "10",    "+Inf"};

void Header(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

// name{proxy="p"[,extra]} value
void Sample(std::string& out, const char* name, const char* proxy, const std::string& extra,
            std::uint64_t value) {
  out += name;
  out += "{proxy=\"";
  out += proxy;
  out += '"';
  if (!extra.empty()) {
    out += ',';
    out += extra;
  }
  out += "} ";
  out += std::to_string(value);
  out += '\n';
}

// Microseconds as seconds with six decimals: exact, and the same text on every machine.
std::string Seconds(std::uint64_t micros) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64 ".%06" PRIu64, micros / 1000000, micros % 1000000);
  return text;
}

void Histogram(std::string& out, const char* name, const char* proxy, const LatencyFigures& f) {
  std::uint64_t cumulative = 0;
  std::string bucket = std::string(name) + "_bucket";
  for (std::size_t i = 0; i < kLatencyBuckets; ++i) {
    cumulative += f.buckets[i];
    Sample(out, bucket.c_str(), proxy, std::string("le=\"") + kBoundLabels[i] + '"', cumulative);
  }
  out += name;
  out += "_sum{proxy=\"";
  out += proxy;
  out += "\"} ";
  out += Seconds(f.sumUs);
  out += '\n';
  // The count is the +Inf bucket, so the two always agree.
  Sample(out, (std::string(name) + "_count").c_str(), proxy, "", cumulative);
}

}  // namespace

std::string RenderMetrics(std::span<const ProxyFigures> proxies) {
  std::vector<const ProxyFigures*> shown;
  for (const ProxyFigures& p : proxies) {
    if (ValidProtocol(p.proxy)) shown.push_back(&p);
  }
  std::string out;
  Header(out, "tarnwick_connections_live", "gauge", "Client connections open now.");
  for (const ProxyFigures* p : shown) {
    Sample(out, "tarnwick_connections_live", NamesOf(p->proxy).lower, "", p->totals.live);
  }
  Header(out, "tarnwick_connections_accepted_total", "counter",
         "Client connections accepted since the program started.");
  for (const ProxyFigures* p : shown) {
    Sample(out, "tarnwick_connections_accepted_total", NamesOf(p->proxy).lower, "",
           p->counters.accepted);
  }
  Header(out, "tarnwick_refusals_total", "counter",
         "Clients or requests refused since the program started, by reason.");
  for (const ProxyFigures* p : shown) {
    for (std::size_t r = 0; r < kRefusalCount; ++r) {
      Sample(out, "tarnwick_refusals_total", NamesOf(p->proxy).lower,
             std::string("reason=\"") + RefusalLabel(static_cast<Refusal>(r)) + '"',
             p->counters.refused[r]);
    }
  }
  Header(out, "tarnwick_relayed_bytes_total", "counter",
         "Bytes relayed since the program started: up from clients, down to them.");
  for (const ProxyFigures* p : shown) {
    const char* proxy = NamesOf(p->proxy).lower;
    Sample(out, "tarnwick_relayed_bytes_total", proxy, "direction=\"up\"", p->totals.up);
    Sample(out, "tarnwick_relayed_bytes_total", proxy, "direction=\"down\"", p->totals.down);
  }
  Header(out, "tarnwick_logins_total", "counter",
         "Logins checked against the accounts since the program started; failed: wrong user "
         "name or password.");
  for (const ProxyFigures* p : shown) {
    const char* proxy = NamesOf(p->proxy).lower;
    Sample(out, "tarnwick_logins_total", proxy, "result=\"ok\"", p->counters.loginsOk);
    Sample(out, "tarnwick_logins_total", proxy, "result=\"failed\"", p->counters.loginsFailed);
  }
  struct HistogramMetric {
    const char* name;
    const char* help;
    LatencyFigures CounterFigures::*figures;
  };
  static constexpr HistogramMetric kHistograms[] = {
      {"tarnwick_connect_duration_seconds",
       "Time from the start of a destination connect to its success.", &CounterFigures::connect},
      {"tarnwick_resolve_duration_seconds",
       "Time a destination name lookup took, whatever its outcome.", &CounterFigures::resolve},
  };
  for (const HistogramMetric& h : kHistograms) {
    Header(out, h.name, "histogram", h.help);
    for (const ProxyFigures* p : shown) {
      Histogram(out, h.name, NamesOf(p->proxy).lower, p->counters.*h.figures);
    }
  }
  return out;
}

std::string ManagerMetricsText(ServerManager& manager) {
  std::vector<ProxyFigures> figures;
  for (std::int32_t id = kFirstProtocol; id <= kLastProtocol; ++id) {
    figures.push_back(
        ProxyFigures{id, manager.Totals(id), manager.Server(id).counters().Snapshot()});
  }
  return RenderMetrics(figures);
}

}  // namespace tw
