#pragma once
// Name lookups off the I/O path. One resolver thread runs every lookup of the pool at once over
// an asynchronous DNS client, so a zone whose servers never answer delays only the lookups of
// names in it: a name that resolves is answered as soon as its own reply is in, however many
// lookups of a silent zone are pending. Dotted addresses are answered without a lookup, names
// in the hosts file without DNS.
//
// Each lookup has its own time limit: one still unanswered after it fails (its DNS queries
// may go on in the background until the DNS client gives them up, at most a few seconds, and
// their answer is then dropped). At most kMaxLookups lookups are under way; beyond that a
// lookup fails at once rather than queueing without bound.
//
// Resolve posts the result to the port that asked, as one kResolve completion: bytes = the
// first IPv4 address in network byte order, error = 0, or error = EHOSTUNREACH when the name
// does not resolve in time. A port that is gone or closed by then simply gets nothing.
//
// The owner keeps the pool for as long as any listener may ask it; any thread may call
// Resolve and ResolveWithin. The thread starts at the first lookup; the destructor ends it and
// fails every lookup not yet answered.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/completion_port.h"
#include "platform/mutex.h"

namespace tw {

constexpr uint32_t kDefaultLookupTimeoutMs = 5000;

struct ResolverOptions {
  // The DNS servers asked, "a.b.c.d:port,..."; empty: the system's (resolv.conf).
  std::string servers;
};

class ResolverPool {
 public:
  static constexpr size_t kMaxLookups = 4096;

  ResolverPool() = default;
  explicit ResolverPool(ResolverOptions options) : options_(std::move(options)) {}
  ~ResolverPool() EXCLUDES(mu_);
  ResolverPool(const ResolverPool&) = delete;
  ResolverPool& operator=(const ResolverPool&) = delete;

  // Looks host up within timeout_ms (0: kDefaultLookupTimeoutMs) and posts the completion
  // described above.
  void Resolve(const std::shared_ptr<CompletionPort>& port, std::string host, uint64_t key,
               Overlapped* ov, uint32_t timeout_ms = kDefaultLookupTimeoutMs) EXCLUDES(mu_);

  // For threads that may block (the ftp:// gateway): waits for the lookup, at most about
  // timeout_ms. True with the first IPv4 address (network order) in *out.
  bool ResolveWithin(const std::string& host, uint32_t timeout_ms, uint32_t* out) EXCLUDES(mu_);

 private:
  // Called once, on the resolver thread (or on the caller's when the lookup cannot start).
  using Done = std::function<void(bool ok, uint32_t address)>;
  struct Request {
    std::string host;
    uint32_t timeout_ms = 0;
    Done done;
  };

  void Submit(Request request) EXCLUDES(mu_);
  void Run() EXCLUDES(mu_);
  // Moves the queued requests out, or returns false once the pool is stopping.
  bool TakeRequests(std::deque<Request>* out) EXCLUDES(mu_);

  const ResolverOptions options_{};
  Mutex mu_;
  std::deque<Request> queue_ GUARDED_BY(mu_);
  size_t under_way_ GUARDED_BY(mu_) = 0;  // queued or started, not yet answered
  bool stopping_ GUARDED_BY(mu_) = false;
  int wake_fd_ GUARDED_BY(mu_) = -1;  // eventfd the thread polls beside the DNS sockets
  std::thread thread_;                // started under mu_, joined by the destructor only
};

// Blocking lookup of the first IPv4 address (network order) through the C library, for
// start-up code only (the machine's own name). False when none.
bool ResolveIPv4(const std::string& host, uint32_t* out);

}  // namespace tw
