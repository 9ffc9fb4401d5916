#include "hosting/throughput_history.h"

#include <algorithm>

namespace tw {

void ThroughputHistory::Ring::Push(const ThroughputSample& s) {
  samples[next] = s;
  next = (next + 1) % kThroughputSeconds;
  count = std::min(count + 1, kThroughputSeconds);
}

void ThroughputHistory::Record(std::uint64_t monoMs, const ProxyTotalsReading& totals) {
  MutexLock lock(mu_);
  if (!started_ || monoMs < baseMs_ + lastSecond_ * 1000) {
    started_ = true;
    baseMs_ = monoMs;
    lastSecond_ = 0;
    for (int i = 0; i < kThroughputProxies; ++i) {
      rings_[i].last = totals[i];
      rings_[i].live = totals[i].live;
    }
    return;
  }
  std::uint64_t second = (monoMs - baseMs_) / 1000;
  std::uint64_t seconds = second - lastSecond_;
  if (seconds == 0) return;
  lastSecond_ = second;
  // Past a whole ring only the newest ring's worth is kept.
  std::uint64_t pushed = std::min<std::uint64_t>(seconds, kThroughputSeconds);
  for (int i = 0; i < kThroughputProxies; ++i) {
    Ring& ring = rings_[i];
    const ProxyTotals& now = totals[i];
    bool wentDown = now.up < ring.last.up || now.down < ring.last.down;
    std::uint64_t up = wentDown ? 0 : now.up - ring.last.up;
    std::uint64_t down = wentDown ? 0 : now.down - ring.last.down;
    ring.last = now;
    ring.live = now.live;
    // Even shares; the remainder goes to the newest second, so nothing is lost.
    for (std::uint64_t s = 1; s <= pushed; ++s) {
      bool newest = s == pushed;
      ring.Push({up / seconds + (newest ? up % seconds : 0),
                 down / seconds + (newest ? down % seconds : 0)});
    }
  }
}

std::vector<ThroughputSeries> ThroughputHistory::Series() const {
  MutexLock lock(mu_);
  std::vector<ThroughputSeries> out;
  out.reserve(kThroughputProxies);
  for (int i = 0; i < kThroughputProxies; ++i) {
    const Ring& ring = rings_[i];
    ThroughputSeries series;
    series.proxy = kFirstProtocol + i;
    series.live = ring.live;
    series.samples.reserve(ring.count);
    int first = (ring.next - ring.count + kThroughputSeconds) % kThroughputSeconds;
    for (int k = 0; k < ring.count; ++k) {
      series.samples.push_back(ring.samples[(first + k) % kThroughputSeconds]);
    }
    out.push_back(std::move(series));
  }
  return out;
}

}  // namespace tw
