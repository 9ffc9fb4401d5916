#pragma once
// One listening proxy: a TCP listener, a completion port and a fixed pool of workers that run
// the protocol's handler on every completion. The listener is one of the port's sockets: the
// worker that sees it readable takes every queued client, so a new client costs no hand-off
// between threads.
//
// The owner constructs one object per protocol, with the protocol's parts, and keeps it for
// the program's life; it calls Start and Stop from one thread. Start takes the listener's
// whole settings as one value; Start on a stopped object makes it listen; Stop makes it
// stopped again and leaves nothing behind: the workers have ended, every connection still
// open is closed and freed. Workers never block: name lookups, connects and throttle pauses
// are posted operations. A timed post makes a worker close relayed pairs that stayed idle past
// the idle limit.
//
// Handlers read what they need through the accessors (settings as started, the account
// checks' view, the completion port); all of it is fixed while the proxy runs, except the
// login switch, which SetLoginRequired may change at any time from any thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "config/activity_log.h"
#include "engine/core/connection_caps.h"
#include "engine/core/connection_tally.h"
#include "engine/core/listener_settings.h"
#include "engine/core/proxy_counters.h"
#include "engine/core/refusal_log.h"
#include "engine/policy/authorization.h"
#include "engine/policy/destination_policy.h"
#include "engine/policy/login_throttle.h"
#include "platform/completion_port.h"
#include "platform/mutex.h"
#include "platform/resolver.h"

namespace tw {

struct IoContext;

// A protocol handler: one function over (context, completion key, byte count). The operation
// that completed and its error are in context->overlapped.
using ProtocolHandler = void (*)(IoContext* context, uint64_t key, uint32_t bytes);

// What the frame needs from a protocol: its handler, the greeting sent first to a new client
// (nullptr: the client speaks first), how many workers it runs on, and the refusal sent to a
// client over a connection cap before it is closed (nullptr: closed without a word).
struct ProxyProtocol {
  ProtocolHandler handler = nullptr;
  const char* greeting = nullptr;
  int workerCount = 4;
  const char* busy = nullptr;
};

// Machinery a protocol runs beside its workers (the FTP proxy's data listeners). A handler makes
// it on first need through UseService, and only while the proxy runs; Stop destroys it before
// the workers end, so its destructor must end whatever threads it started.
struct ProtocolService {
  virtual ~ProtocolService() = default;
};

class ProxyServer {
 public:
  // activity: where the handlers post their activity texts (a default sink drops them).
  // resolver: the name-lookup pool, which must outlive this object; nullptr: the listener
  // runs a pool of its own.
  ProxyServer(int32_t protocolId, ProxyProtocol protocol, ActivitySink activity = {},
              ResolverPool* resolver = nullptr);
  ~ProxyServer();
  ProxyServer(const ProxyServer&) = delete;
  ProxyServer& operator=(const ProxyServer&) = delete;

  // True when the proxy now listens on settings.port (0: an ephemeral port, see port()). False
  // on a running proxy, one without a handler, or when the port cannot be had; on failure
  // everything created so far is released.
  bool Start(const ListenerSettings& settings);
  // Why the last Start could not listen: the errno of the failed socket, bind or listen
  // (EACCES for a port the program may not bind, EADDRINUSE for a taken one; EADDRNOTAVAIL
  // for a listen address that is no IPv4 address), 0 after a successful start or a failure
  // of another kind.
  int startError() const { return startError_; }
  // Stops a running proxy; does nothing on a stopped one.
  void Stop();
  bool Running() const { return stopped_.load() == 0; }

  // The login switch of a running proxy (the console's login boxes): the next client sees it.
  void SetLoginRequired(bool on) { access_.authMode.store(on ? 1 : 0); }

  // Connections (contexts) of this proxy that are still alive.
  size_t LiveContexts() EXCLUDES(liveMutex_);

  // Gives every live connection of this proxy new limits in bytes per second (<= 0: none), for
  // its next move of bytes; a connection made later takes its login's. Any thread.
  void SetLiveRates(int32_t download, int32_t upload) EXCLUDES(liveMutex_);

  // The live client connections of this proxy, copied under the list lock. Any thread; the
  // relay does not wait for it beyond the moment a context joins or leaves the list.
  std::vector<ConnectionView> LiveConnections() EXCLUDES(liveMutex_);
  // Cuts off live connection `id`: the sockets of its client, its destination and its data
  // channels are shut down and their handlers close them as if the peer had gone. False when
  // no live connection has that id. The thread that calls Start and Stop.
  bool Disconnect(uint64_t id) EXCLUDES(liveMutex_);
  // Cuts off every live connection of `user` (not empty) the same way; how many. The thread
  // that calls Start and Stop.
  int DisconnectUser(std::string_view user) EXCLUDES(liveMutex_);
  // Bytes relayed each way since the program started and live client connections. Any thread.
  ProxyTotals Totals() EXCLUDES(liveMutex_);
  // What this proxy counted since the program started (kept across Stop and Start). Any
  // thread; the counting points add to it from the workers.
  ProxyCounters& counters() { return counters_; }
  const ProxyCounters& counters() const { return counters_; }
  // Hands the traffic sink the bytes live connections moved since they were last reported, so
  // a long tunnel counts toward the day it ran in; the rest goes when a connection ends. Any
  // thread; does nothing without a sink.
  void ReportTraffic() EXCLUDES(liveMutex_);

  int32_t protocolId() const { return protocolId_; }
  // The port listened on (the one chosen for port 0) since the last Start.
  int32_t port() const { return access_.port; }

  // For the handlers, while the proxy runs.
  const AuthorizationSettings& access() const { return access_; }
  const HttpListenerSettings& http() const { return http_; }
  const FtpListenerSettings& ftp() const { return ftp_; }
  uint32_t connectTimeoutMs() const { return connectTimeoutMs_; }
  uint32_t dialogueTimeoutMs() const { return dialogueTimeoutMs_; }
  uint32_t lookupTimeoutMs() const { return lookupTimeoutMs_; }
  const std::shared_ptr<CompletionPort>& completionPort() const { return completionPort_; }
  ProtocolHandler handler() const { return protocol_.handler; }
  const ActivitySink& activity() const { return activity_; }
  ResolverPool& resolver() const { return *resolver_; }
  // This program's listening sockets (this proxy's port among them while it runs).
  OwnEndpoints& ownEndpoints() const { return *ownEndpoints_; }
  // The destination policy for a connect to address:port (network order) on a client's behalf.
  DestinationVerdict CheckDestination(uint32_t address, uint16_t port) const;
  // The same rules as a value, for threads that outlive a completion (the ftp:// gateway).
  DestinationRules destinationRules() const;

  // Runs use(service) under the service lock, making the service with make() first when there
  // is none yet. False, without calling use, when the proxy is stopped or there is no service
  // and make gives none.
  bool UseService(const std::function<std::unique_ptr<ProtocolService>()>& make,
                  const std::function<void(ProtocolService&)>& use) EXCLUDES(serviceMutex_);

  // The failed-login limit of this proxy's clients (emptied at every start).
  LoginThrottle& loginThrottle() { return loginThrottle_; }

  // Posts the activity line of a refusal, unless its client (parts.address) has had
  // RefusalLogLimit::kLinesPerSecond of them this second. Any thread.
  void PostRefusal(ActivityText parts);
  // A destination ("host:port", as named or resolved) the policy refused for client: counted,
  // and its activity line posted as PostRefusal does. Any thread.
  void PostDestinationRefusal(std::string_view destination, std::string client);

  // Client connections counted from address (network order), for tests.
  int32_t ConnectionsFrom(uint32_t address) { return caps_.CountOf(address); }

  // Guards the `partner` links of this proxy's contexts.
  Mutex& pairMutex() RETURN_CAPABILITY(pairMutex_) { return pairMutex_; }

  // The list of live contexts, for NewClientContext, Pair and CloseContext only. A context
  // added with a tally (Pair copies its client's) holds a reference to it until removed.
  void AddLive(IoContext* x) EXCLUDES(liveMutex_);
  void RemoveLive(IoContext* x) EXCLUDES(liveMutex_);
  // Makes x (a live context) count its bytes toward the tally of the live context whose socket
  // is `owner` (an FTP data channel and its control connection); nothing when there is none.
  void ShareTally(IoContext* x, SocketHandle owner) EXCLUDES(liveMutex_);
  // For NoteUser and NoteDestination: the user or the destination of x's tally (nullptr: kept).
  void NoteTally(IoContext* x, const std::string_view* user, const std::string_view* destination,
                 uint64_t carried = 0) EXCLUDES(liveMutex_);

 private:
  // A worker's routine: takes completions from the port until it is woken with key 0 or the
  // port is closed; runs the listener's and the idle sweep's itself and hands every other to
  // the handler of the context's proxy. A read or send that moved bytes marks its context
  // active (IoContext::lastActiveMs) first.
  void WorkerLoop();
  // On a worker, when the listener is readable: takes every queued client until accept would
  // block, then waits for the next (after a lack of descriptors, a moment later).
  void AcceptQueued();
  // On a worker, every IdleSweepMs: CloseIdlePairs, then the next sweep's timed post.
  void SweepIdlePairs();
  // Shuts down the sockets of pairs idle in both directions for idleTimeoutMs_ (their
  // handlers then close them as if the peer had gone).
  void CloseIdlePairs() EXCLUDES(liveMutex_);
  void AcceptClient(int fd, uint32_t address, uint16_t port);
  // Gives client context x (live) a new tally.
  void OpenTally(IoContext* x, uint32_t address, uint16_t port) EXCLUDES(liveMutex_);
  // Drops x's reference to its tally; the last one moves its bytes to the totals, reports
  // what the sink has not had and queues the tally in *freed, to be deleted after the lock.
  void ReleaseTally(IoContext* x, std::vector<ConnectionTally*>* freed) REQUIRES(liveMutex_);
  // Hands the sink t's bytes since its last report, under its current user, but for the last
  // `carried` bytes up, which stay for the next report.
  void ReportTally(ConnectionTally* t, uint64_t carried = 0) REQUIRES(liveMutex_);
  void RefuseClient(int fd, uint32_t address, Admission why);
  void ReleaseAll();

  const int32_t protocolId_;
  const ProxyProtocol protocol_;
  const ActivitySink activity_;
  std::unique_ptr<ResolverPool> ownResolver_;  // when none was given
  ResolverPool* const resolver_;

  // Written by Start before any worker runs, read by the workers.
  AuthorizationSettings access_;
  // The schedules access_ points into, held while the proxy runs (and until its next Start).
  std::shared_ptr<const ScheduleList> schedules_;
  HttpListenerSettings http_;
  FtpListenerSettings ftp_;
  uint32_t connectTimeoutMs_ = 20000;
  uint32_t dialogueTimeoutMs_ = 60000;
  uint32_t idleTimeoutMs_ = 3600000;
  uint32_t lookupTimeoutMs_ = 5000;
  bool allowLocalDestinations_ = false;
  std::shared_ptr<OwnEndpoints> ownEndpoints_ = std::make_shared<OwnEndpoints>();
  ListenEndpoint listed_;  // what was added to ownEndpoints_; port 0 = nothing

  int listenSocket_ = -1;              // until the port owns it
  SocketHandle listenHandle_ = kNoSocket;  // from then on
  int startError_ = 0;                 // owner thread: see startError()
  std::shared_ptr<CompletionPort> completionPort_;
  std::atomic<int32_t> stopped_{1};
  std::vector<std::thread> workers_;
  // The listener's readiness wait and the idle sweep's timed post: WorkerLoop tells their
  // completions apart from the contexts' by these addresses.
  Overlapped acceptWait_;
  Overlapped sweepWait_;

  Mutex serviceMutex_;
  std::unique_ptr<ProtocolService> service_ GUARDED_BY(serviceMutex_);

  Mutex pairMutex_;
  LoginThrottle loginThrottle_;
  ConnectionCaps caps_;
  RefusalLogLimit refusalLog_;
  ProxyCounters counters_;

  Mutex liveMutex_;
  IoContext* liveHead_ GUARDED_BY(liveMutex_) = nullptr;
  size_t liveCount_ GUARDED_BY(liveMutex_) = 0;
  // The last activity of owned connections (FTP data channels) freed since the last sweep, by
  // owner: the owner's idle time starts when its data channel last moved bytes, not when it
  // was itself last active, so its final reply after a long transfer is not cut off.
  std::unordered_map<SocketHandle, uint64_t> endedOwned_ GUARDED_BY(liveMutex_);
  // The tallies of live client connections, and the bytes of those that ended.
  ConnectionTally* tallyHead_ GUARDED_BY(liveMutex_) = nullptr;
  uint64_t liveTallies_ GUARDED_BY(liveMutex_) = 0;
  uint64_t endedUp_ GUARDED_BY(liveMutex_) = 0;
  uint64_t endedDown_ GUARDED_BY(liveMutex_) = 0;
  TrafficSink* traffic_ GUARDED_BY(liveMutex_) = nullptr;  // as started
};

}  // namespace tw
