#pragma once
// What one listening proxy counts for the monitoring endpoint: clients accepted, refusals by
// reason, logins checked, and how long destination connects and name lookups take.
//
// Every counter is a relaxed atomic that only goes up, added to by the worker that decided the
// event; nothing here is touched per relayed chunk, and the bytes relayed and the live
// connections come from ProxyServer::Totals, not from here.
// Readers (any thread) take a Snapshot, whose fields are read one by one: a snapshot taken
// while events happen may mix moments, but each figure in it never goes down.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tw {

// Why a proxy refused a client or one of its requests, each counted where it is decided.
enum class Refusal : std::uint8_t {
  kClientFull,          // the client's address has its maximum of connections
  kTotalFull,           // the proxy has its maximum of connections
  kGuestNotAllowed,     // a guest from outside the local networks or the guest address rule
  kLoginsBlocked,       // the address may not try to log in for now (too many failures)
  kAccountRule,         // a correct login outside its account's address rule or schedule
  kDestinationRefused,  // the destination policy, or the proxy itself as destination
  kWebFilter,           // an HTTP request the account's web filter blocks
  kCount
};
constexpr std::size_t kRefusalCount = static_cast<std::size_t>(Refusal::kCount);

// The label a refusal reason has in the monitoring text ("client_full", ...).
const char* RefusalLabel(Refusal r);

// Upper bounds of the latency buckets, in microseconds (1 ms .. 10 s); a last bucket takes
// everything above.
inline constexpr std::array<std::uint64_t, 13> kLatencyBoundsUs = {
    1000,   2500,   5000,    10000,   25000,   50000,   100000,
    250000, 500000, 1000000, 2500000, 5000000, 10000000};
constexpr std::size_t kLatencyBuckets = kLatencyBoundsUs.size() + 1;

// A latency histogram as plain values: per-bucket counts (not cumulative) and the sum.
struct LatencyFigures {
  std::array<std::uint64_t, kLatencyBuckets> buckets{};
  std::uint64_t sumUs = 0;
};

class LatencyHistogram {
 public:
  void Observe(std::uint64_t micros);
  LatencyFigures Snapshot() const;

 private:
  std::array<std::atomic<std::uint64_t>, kLatencyBuckets> buckets_{};
  std::atomic<std::uint64_t> sumUs_{0};
};

// A proxy's counters as plain values.
struct CounterFigures {
  std::uint64_t accepted = 0;
  std::array<std::uint64_t, kRefusalCount> refused{};
  std::uint64_t loginsOk = 0;
  std::uint64_t loginsFailed = 0;  // wrong user name or password
  LatencyFigures connect;          // connects that succeeded, from their start
  LatencyFigures resolve;          // name lookups, whatever their outcome
};

class ProxyCounters {
 public:
  void Accepted() { accepted_.fetch_add(1, std::memory_order_relaxed); }
  void Refused(Refusal r) {
    refused_[static_cast<std::size_t>(r)].fetch_add(1, std::memory_order_relaxed);
  }
  void Login(bool ok) { (ok ? loginsOk_ : loginsFailed_).fetch_add(1, std::memory_order_relaxed); }
  LatencyHistogram& connect() { return connect_; }
  LatencyHistogram& resolve() { return resolve_; }

  CounterFigures Snapshot() const;

 private:
  std::atomic<std::uint64_t> accepted_{0};
  std::array<std::atomic<std::uint64_t>, kRefusalCount> refused_{};
  std::atomic<std::uint64_t> loginsOk_{0};
  std::atomic<std::uint64_t> loginsFailed_{0};
  LatencyHistogram connect_;
  LatencyHistogram resolve_;
};

}  // namespace tw
