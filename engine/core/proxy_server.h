#pragma once
// One listening proxy: a TCP listener on `port`, an accept thread, a completion port and a
// fixed pool of workers that run the protocol's handler on every completion.
//
// The owner constructs one object per protocol and keeps it for the program's life; the server
// manager writes the settings fields and calls Start and Stop from one thread. Start on a
// stopped object makes it listen; Stop makes it stopped again and leaves nothing behind: the
// accept thread and the workers have ended, every connection still open is closed and freed.
// Workers never block: name lookups, connects and throttle pauses are posted operations.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"  // the protocol ids
#include "engine/policy/authorization.h"
#include "engine/policy/web_filter_list.h"
#include "platform/completion_port.h"

namespace tw {

struct IoContext;

// A protocol handler: one function over (context, completion key, byte count). The operation
// that completed and its error are in context->overlapped.
using ProtocolHandler = void (*)(IoContext* context, uint64_t key, uint32_t bytes);

// Machinery a protocol runs beside its workers (the FTP proxy's data listeners). A handler makes
// it on first need under the proxy's serviceMutex, and only while the proxy runs; Stop destroys
// it before the workers end, so its destructor must end whatever threads it started.
struct ProtocolService {
  virtual ~ProtocolService() = default;
};

// The handler of a protocol, or nullptr while that protocol has none.
ProtocolHandler HandlerForProtocol(int32_t protocolId);

struct ProxyServer {
  explicit ProxyServer(int32_t protocolId);
  ~ProxyServer();
  ProxyServer(const ProxyServer&) = delete;
  ProxyServer& operator=(const ProxyServer&) = delete;

  // True when the proxy now listens on `port` (port 0: an ephemeral port, written back to
  // `port`). On failure everything created so far is released.
  bool Start();
  // Stops a running proxy; does nothing on a stopped one.
  void Stop();

  // Connections (contexts) of this proxy that are still alive.
  size_t LiveContexts();

  int listenSocket = -1;
  int32_t port = 0;
  std::thread acceptThread;
  std::shared_ptr<CompletionPort> completionPort;
  std::atomic<int32_t> stopped{1};

  // Settings written by the server manager before Start and read by the handlers.
  int32_t authMode = 0;         // HTTP, FTP, SOCKS: 1 = clients must log in
  int32_t dataPortRangeOn = 0;  // FTP: data channels use the port range below
  int32_t dataPortLow = 6000;
  int32_t dataPortHigh = 6300;
  int32_t downloadRate = 0;  // guest limits, bytes per second, 0 = unlimited
  int32_t uploadRate = 0;
  const int32_t protocolId;
  std::string guestIpRange;  // empty: every client; "a.b.c.d" or "low-high"
  // Where the account tables are and the schedules loaded at start-up (owner sets them).
  std::string dataDir;
  const ScheduleList* schedules = nullptr;
  // HTTP: the refusal pages (whole files of the data directory; empty when missing, see
  // LoadHttpPages), the web filters accounts refer to (nullptr: none), and how long each read
  // of the FTP gateway's dialogue may wait ([HTTP] ftp_timeout).
  std::string ipBlockPage;
  std::string webFilterPage;
  std::string schedulePage;
  const WebFilterList* webFilters = nullptr;
  uint32_t ftpGatewayTimeoutMs = 30000;

  // What the account checks see of this proxy: filled from the fields above by Start, read by
  // the workers; its list of the machine's own addresses builds itself on first use.
  AuthorizationSettings access;

  // The frame's own settings, chosen by protocol at construction.
  int workerCount;
  const char* greeting;  // sent first to a new client; nullptr: read first
  ProtocolHandler handler;
  uint32_t connectTimeoutMs = 20000;  // limit of a connect to a destination
  // Time a client has to finish its protocol dialogue (login, request) before it is closed;
  // 0 = no limit.
  uint32_t dialogueTimeoutMs = 60000;
  int listenBacklog = 128;

  // FTP: the address-echo web server ("host" or "host:port") asked for the public address
  // announced to peers outside the machine's networks; empty = never asked.
  std::string addressEchoHost;

  // Guards `service`, which a worker may make while the proxy runs (see ProtocolService).
  std::mutex serviceMutex;
  std::unique_ptr<ProtocolService> service;

  // Guards the `partner` links of this proxy's contexts.
  std::mutex pairMutex;

  // The list of live contexts (REQUIRES liveMutex); see NewClientContext and CloseContext.
  std::mutex liveMutex;
  IoContext* liveHead = nullptr;
  size_t liveCount = 0;

 private:
  void AcceptLoop();
  void AcceptClient(int fd);
  void ReleaseAll();

  std::vector<std::thread> workers_;
  int wakeFd_ = -1;  // interrupts the accept thread's wait
};

// The worker routine: takes completions from the port until it is woken with key 0 or the
// port is closed, handing each to the handler of the context's proxy.
void WorkerLoop(std::shared_ptr<CompletionPort> port);

}  // namespace tw
