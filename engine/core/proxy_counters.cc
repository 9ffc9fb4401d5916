#include "engine/core/proxy_counters.h"

#include <algorithm>

namespace tw {

const char* RefusalLabel(Refusal r) {
  switch (r) {
    case Refusal::kClientFull:
      return "client_full";
    case Refusal::kTotalFull:
      return "total_full";
    case Refusal::kGuestNotAllowed:
      return "guest_not_allowed";
    case Refusal::kLoginsBlocked:
      return "logins_blocked";
    case Refusal::kAccountRule:
      return "account_rule";
    case Refusal::kDestinationRefused:
      return "destination_refused";
    case Refusal::kWebFilter:
      return "web_filter";
    case Refusal::kCount:
      break;
  }
  return "other";
}

void LatencyHistogram::Observe(std::uint64_t micros) {
  // The first bound not below the value: a value equal to a bound falls in that bucket ("le").
  auto bound = std::lower_bound(kLatencyBoundsUs.begin(), kLatencyBoundsUs.end(), micros);
  buckets_[static_cast<std::size_t>(bound - kLatencyBoundsUs.begin())].fetch_add(
      1, std::memory_order_relaxed);
  sumUs_.fetch_add(micros, std::memory_order_relaxed);
}

LatencyFigures LatencyHistogram::Snapshot() const {
  LatencyFigures out;
  for (std::size_t i = 0; i < kLatencyBuckets; ++i) {
    out.buckets[i] = buckets_[i].load(std::memory_order_relaxed);
  }
  out.sumUs = sumUs_.load(std::memory_order_relaxed);
  return out;
}

CounterFigures ProxyCounters::Snapshot() const {
  CounterFigures out;
  out.accepted = accepted_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < kRefusalCount; ++i) {
    out.refused[i] = refused_[i].load(std::memory_order_relaxed);
  }
  out.loginsOk = loginsOk_.load(std::memory_order_relaxed);
  out.loginsFailed = loginsFailed_.load(std::memory_order_relaxed);
  out.connect = connect_.Snapshot();
  out.resolve = resolve_.Snapshot();
  return out;
}

}  // namespace tw
