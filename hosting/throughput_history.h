#pragma once
// The last five minutes of each proxy's throughput, one sample per second: the bytes moved up
// (from clients) and down (to clients) in that second. Built from readings of the proxies'
// byte totals (ServerManager::Totals), which only grow: seconds are counted from the first
// reading, and the difference between two readings goes to the seconds between them.
//
// Record: one thread (the console's owner thread, once a second); it is given the time of the
// reading, so a test drives the history with readings of its own. Series: any thread.
// The first reading only sets the baseline (a proxy that had moved bytes before the history
// started shows no burst); a total that went down (which the totals never do) or a clock that
// went back sets a new baseline too. A reading in the same second as the previous one is
// left for the next; a reading after a pause (a busy owner thread) spreads its bytes evenly
// over the seconds it missed, so the samples always add up to the bytes moved.
#include <array>
#include <cstdint>
#include <vector>

#include "config/protocols.h"
#include "engine/core/connection_tally.h"
#include "platform/mutex.h"

namespace tw {

constexpr int kThroughputSeconds = 300;  // samples kept per proxy
constexpr int kThroughputProxies = kLastProtocol - kFirstProtocol + 1;

struct ThroughputSample {
  std::uint64_t up = 0;    // bytes per second
  std::uint64_t down = 0;
};

// One proxy's samples, oldest first; at most kThroughputSeconds, fewer while the history is
// younger than that.
struct ThroughputSeries {
  std::int32_t proxy = 0;
  std::uint64_t live = 0;  // live client connections at the last reading
  std::vector<ThroughputSample> samples;
};

// Totals of proxies kFirstProtocol..kLastProtocol, in that order.
using ProxyTotalsReading = std::array<ProxyTotals, kThroughputProxies>;

class ThroughputHistory {
 public:
  // A reading of every proxy's totals taken at monotonic millisecond monoMs.
  void Record(std::uint64_t monoMs, const ProxyTotalsReading& totals) EXCLUDES(mu_);
  // Every proxy's samples, in proxy id order.
  std::vector<ThroughputSeries> Series() const EXCLUDES(mu_);

 private:
  struct Ring {
    std::array<ThroughputSample, kThroughputSeconds> samples{};
    int next = 0;   // where the next sample goes
    int count = 0;  // samples held
    std::uint64_t live = 0;
    ProxyTotals last;
    void Push(const ThroughputSample& s);
  };

  mutable Mutex mu_;
  bool started_ GUARDED_BY(mu_) = false;
  std::uint64_t baseMs_ GUARDED_BY(mu_) = 0;    // time of the baseline reading
  std::uint64_t lastSecond_ GUARDED_BY(mu_) = 0;  // second (from baseMs_) of the last reading
  std::array<Ring, kThroughputProxies> rings_ GUARDED_BY(mu_);
};

}  // namespace tw
