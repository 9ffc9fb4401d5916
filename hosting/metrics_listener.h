#pragma once
// kestrane's monitoring endpoint: a listener on [Server] metrics_address that answers
// "GET /metrics" with the figures (who may read them: metrics_access.h) and any other request
// with 404. It is small on purpose:
//   - one thread serves at most kMetricsClients connections at once, one request each, and
//     leaves further ones waiting in the listen queue;
//   - a request head (lines ending in CRLF) may be kMetricsHeadMax bytes (431 beyond); the
//     head must arrive and the answer leave within kMetricsTimeoutMs, or the connection is
//     closed;
//   - the proxies never wait for it: it only reads their counters and totals.
// Start and Stop from one thread; the sources are called on the listener's thread.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "engine/policy/destination_policy.h"

namespace tw {

constexpr std::size_t kMetricsHeadMax = 8192;
constexpr int kMetricsClients = 4;
constexpr int kMetricsTimeoutMs = 5000;

struct MetricsSources {
  std::function<std::string()> render;  // the exposition text
  std::function<std::string()> token;   // the configured metrics_token, asked per request
};

// The whole answer (status line, headers, body) to one complete request head, for an endpoint
// bound to boundAddress (dotted). 400 for a head that is no HTTP request. Pure but for the
// sources; any thread.
std::string MetricsReply(std::string_view head, std::string_view boundAddress,
                         const MetricsSources& sources);

class MetricsListener {
 public:
  explicit MetricsListener(MetricsSources sources);
  ~MetricsListener();
  MetricsListener(const MetricsListener&) = delete;
  MetricsListener& operator=(const MetricsListener&) = delete;

  // Listens on "ADDR:PORT" (a dotted IPv4 address; port 0: any free one) and starts the
  // thread. False with *error when the text is no such endpoint, the address cannot be had,
  // or the listener already runs; nothing is left open then.
  bool Start(std::string_view endpoint, std::string* error);
  // Ends the thread and closes every connection; nothing on a stopped listener.
  void Stop();
  // Where it listens since the last successful Start (the chosen port for port 0).
  ListenEndpoint endpoint() const { return endpoint_; }

 private:
  void Serve();

  const MetricsSources sources_;
  std::string boundAddress_;
  ListenEndpoint endpoint_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::thread thread_;
};

}  // namespace tw
