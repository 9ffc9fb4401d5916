// The throughput history from readings of the proxies' totals, driven with the test's own
// clock: each sample is the difference of two readings per second, the ring keeps the newest
// five minutes, and neither a proxy that had traffic before the first reading nor a reading
// that went down shows as a burst.
#include "hosting/throughput_history.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

constexpr int kSocks = kProtocolSocks - kFirstProtocol;
constexpr int kHttp = kProtocolHttp - kFirstProtocol;

ProxyTotalsReading Socks(std::uint64_t up, std::uint64_t down, std::uint64_t live = 0) {
  ProxyTotalsReading r{};
  r[kSocks] = {up, down, live};
  return r;
}

std::vector<ThroughputSample> SocksSamples(const ThroughputHistory& h) {
  std::vector<ThroughputSeries> all = h.Series();
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThroughputProxies));
  EXPECT_EQ(all[kSocks].proxy, kProtocolSocks);
  return all[kSocks].samples;
}

struct Reading {
  std::uint64_t ms, up, down;
};
struct Expected {
  std::uint64_t up, down;
};

TEST(ThroughputHistoryTest, SamplesAreTheDeltasPerSecondOfTheReadings) {
  struct Case {
    const char* name;
    std::vector<Reading> readings;
    std::vector<Expected> samples;
  } cases[] = {
      // Totals of 1 GB before the first reading: a baseline, not a burst.
      {"counter that starts mid-way",
       {{10'000, 1'000'000'000, 5'000'000'000}, {11'000, 1'000'000'100, 5'000'000'700}},
       {{100, 700}}},
      {"one second apart", {{0, 0, 0}, {1000, 10, 20}, {2000, 10, 50}}, {{10, 20}, {0, 30}}},
      // Seconds count from the first reading: a late one is still the same second.
      {"late reading", {{0, 0, 0}, {1900, 3000, 0}, {2000, 3500, 0}}, {{3000, 0}, {500, 0}}},
      {"a reading in the same second is left for the next",
       {{0, 0, 0}, {300, 100, 0}, {1000, 500, 0}}, {{500, 0}}},
      // A busy owner thread missed four readings: the five seconds share the mean.
      {"missed seconds are filled", {{0, 0, 0}, {5000, 5000, 500}},
       {{1000, 100}, {1000, 100}, {1000, 100}, {1000, 100}, {1000, 100}}},
      {"the remainder of a share goes to the newest second", {{0, 0, 0}, {3000, 10, 2}},
       {{3, 0}, {3, 0}, {4, 2}}},
      // Totals never go down; if they did, a wrapped difference must not show exabytes.
      {"a total that went down is a new baseline",
       {{0, 500, 500}, {1000, 100, 600}, {2000, 150, 650}}, {{0, 0}, {50, 50}}},
      {"a clock that went back is a new baseline",
       {{5000, 0, 0}, {4000, 900, 900}, {5000, 1000, 1000}}, {{100, 100}}},
      {"bytes near the top of the counter", {{0, 0, 0}, {1000, ~0ull / 2, 0}}, {{~0ull / 2, 0}}},
  };
  for (const Case& c : cases) {
    ThroughputHistory h;
    for (const Reading& r : c.readings) h.Record(r.ms, Socks(r.up, r.down));
    std::vector<ThroughputSample> got = SocksSamples(h);
    ASSERT_EQ(got.size(), c.samples.size()) << c.name;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].up, c.samples[i].up) << c.name << ", sample " << i;
      EXPECT_EQ(got[i].down, c.samples[i].down) << c.name << ", sample " << i;
    }
  }
}

TEST(ThroughputHistoryTest, RingKeepsTheNewestFiveMinutesOldestFirst) {
  ThroughputHistory h;
  std::uint64_t up = 0;
  h.Record(0, Socks(0, 0));
  // Sample s (1-based) moves s bytes; 350 samples wrap the ring once past its end.
  for (std::uint64_t s = 1; s <= kThroughputSeconds + 50; ++s) {
    up += s;
    h.Record(s * 1000, Socks(up, 0, s));
  }
  std::vector<ThroughputSeries> all = h.Series();
  const std::vector<ThroughputSample>& got = all[kSocks].samples;
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kThroughputSeconds));
  EXPECT_EQ(got.front().up, 51u) << "the 50 oldest samples are gone";
  EXPECT_EQ(got.back().up, static_cast<std::uint64_t>(kThroughputSeconds + 50));
  for (std::size_t i = 1; i < got.size(); ++i) ASSERT_EQ(got[i].up, got[i - 1].up + 1) << i;
  EXPECT_EQ(all[kSocks].live, static_cast<std::uint64_t>(kThroughputSeconds + 50));
  // Another proxy was sampled at the same moments, with nothing moved.
  EXPECT_EQ(all[kHttp].samples.size(), static_cast<std::size_t>(kThroughputSeconds));
  EXPECT_EQ(all[kHttp].samples.back().up, 0u);

  // A pause of an hour replaces the whole ring with the hour's mean, and no more.
  h.Record((kThroughputSeconds + 50) * 1000 + 3'600'000, Socks(up + 3600 * 7, 0));
  all = h.Series();
  ASSERT_EQ(all[kSocks].samples.size(), static_cast<std::size_t>(kThroughputSeconds));
  EXPECT_EQ(all[kSocks].samples.front().up, 7u);
  EXPECT_EQ(all[kSocks].samples.back().up, 7u);
}

}  // namespace
}  // namespace tw
