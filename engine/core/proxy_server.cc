#include "engine/core/proxy_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "engine/core/io_context.h"
#include "platform/address_text.h"
#include "platform/descriptor_limit.h"
#include "platform/socket_options.h"
#include "platform/tick.h"

namespace tw {

namespace {

// After an accept fails for lack of descriptors or memory, wait this long before the next one
// instead of spinning on a listener that stays readable.
constexpr uint32_t kAcceptBackoffMs = 100;
// Clients taken in one go after which the accepting worker asks an idle one to serve the
// clients already taken while it goes on accepting.
constexpr int kAcceptsBeforeHelp = 32;
// The key of the idle sweep's timed posts (a socket's key is its handle, never this small).
constexpr uint64_t kSweepKey = 1;
// Owners whose data channels ended between two sweeps that are remembered (a bound against a
// flood of short data channels; beyond it an owner just gets the usual idle window).
constexpr std::size_t kMaxEndedOwned = 4096;

constexpr char kClientFull[] = "Connection refused: too many connections from this address";
constexpr char kTotalFull[] = "Connection refused: too many connections";

// How often idle pairs are looked for: a pair is closed between the idle limit and a quarter
// of it later.
uint64_t IdleSweepMs(uint32_t idle_ms) {
  return std::clamp<uint64_t>(idle_ms / 4, 100, 30000);
}

}  // namespace

ProxyServer::ProxyServer(int32_t id, ProxyProtocol protocol, ActivitySink activity,
                         ResolverPool* resolver)
    : protocolId_(id),
      protocol_(protocol),
      activity_(activity),
      ownResolver_(resolver == nullptr ? std::make_unique<ResolverPool>() : nullptr),
      resolver_(resolver != nullptr ? resolver : ownResolver_.get()) {
  access_.protocolId = id;
}

ProxyServer::~ProxyServer() {
  Stop();
}

void ProxyServer::WorkerLoop() {
  std::shared_ptr<CompletionPort> port = completionPort_;
  // A splice into a socket the peer has reset raises SIGPIPE (there is no MSG_NOSIGNAL for
  // it); blocked here, the splice just fails with EPIPE.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  Completion c;
  while (port->Wait(&c)) {
    if (c.key == 0 || c.overlapped == nullptr) return;  // Stop's wake-up
    if (c.overlapped == &acceptWait_) {
      AcceptQueued();
      continue;
    }
    if (c.overlapped == &sweepWait_) {
      SweepIdlePairs();
      continue;
    }
    IoContext* context = reinterpret_cast<IoContext*>(c.overlapped);
    if (context->relayWait != RelayWait::kNone && !TakeRelayWait(context, &c)) continue;
    if (c.bytes > 0 && (c.op == IoOp::kRead || c.op == IoOp::kSend)) {
      MarkActive(context, 0);
      if (c.op == IoOp::kRead) CountRead(context, c.bytes);
    }
    context->server->handler()(context, c.key, c.bytes);
  }
}

bool ProxyServer::Start(const ListenerSettings& settings) {
  if (Running() || protocol_.handler == nullptr) return false;
  startError_ = 0;
  access_.authMode.store(settings.authMode);
  access_.downloadRate = settings.downloadRate;
  access_.uploadRate = settings.uploadRate;
  access_.guestRuleOn = settings.guestRuleOn;
  access_.guestIpRange = settings.guestIpRange;
  access_.guestsFromAnywhere = settings.guestsFromAnywhere;
  access_.attachedNetworks =
      settings.attachedNetworks ? *settings.attachedNetworks : AttachedIPv4Networks();
  access_.dataDir = settings.dataDir;
  schedules_ = settings.schedules;
  access_.schedules = schedules_.get();
  access_.port = settings.port;
  loginThrottle_.Clear();
  {
    MutexLock lock(liveMutex_);
    traffic_ = settings.traffic;
  }
  http_ = settings.http;
  ftp_ = settings.ftp;
  connectTimeoutMs_ = settings.connectTimeoutMs;
  dialogueTimeoutMs_ = settings.dialogueTimeoutMs;
  caps_.Configure(settings.maxConnectionsPerClient,
                  settings.maxConnections > 0 ? settings.maxConnections
                                              : ConnectionTotalFor(DescriptorLimit()));

  idleTimeoutMs_ = settings.idleTimeoutMs;
  lookupTimeoutMs_ = settings.lookupTimeoutMs;
  allowLocalDestinations_ = settings.allowLocalDestinations;
  ownEndpoints_ = settings.ownEndpoints ? settings.ownEndpoints : std::make_shared<OwnEndpoints>();
  // Built here, where blocking is fine, rather than by the first worker that checks a
  // destination.
  access_.localAddresses.Get();
  completionPort_ = CompletionPort::Create();
  if (!completionPort_) return false;
  // Non-blocking: a worker takes every queued client until accept would block.
  listenSocket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenSocket_ == -1) {
    startError_ = errno;
    ReleaseAll();
    return false;
  }
  // Lets a restarted proxy bind while connections of its previous run linger in TIME_WAIT;
  // a port that another listener holds still fails.
  int one = 1;
  setsockopt(listenSocket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Accepted clients inherit it, which spares a call per client.
  SetNoDelay(listenSocket_);
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!settings.listenAddress.empty() &&
      !ParseCanonicalIPv4(settings.listenAddress, &addr.sin_addr.s_addr)) {
    startError_ = EADDRNOTAVAIL;
    ReleaseAll();
    return false;
  }
  addr.sin_port = htons(static_cast<uint16_t>(settings.port & 0xffff));
  if (bind(listenSocket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1 ||
      listen(listenSocket_, ListenBacklog()) == -1) {
    startError_ = errno;  // ReleaseAll's close may change errno
    ReleaseAll();
    return false;
  }
  if (protocol_.greeting == nullptr) AcceptOnFirstBytes(listenSocket_);
  socklen_t len = sizeof addr;
  if (getsockname(listenSocket_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    access_.port = ntohs(addr.sin_port);
  }
  // The address actually bound: 0 for every interface, or the one listen address.
  listed_ = ListenEndpoint{addr.sin_addr.s_addr, static_cast<uint16_t>(access_.port)};
  ownEndpoints_->Add(listed_);
  // From here the port owns the listener: the workers wait for its clients as for any socket.
  listenHandle_ = completionPort_->Associate(listenSocket_, true);
  listenSocket_ = -1;
  if (listenHandle_ == kNoSocket) {
    ReleaseAll();
    return false;
  }
  try {
    for (int i = 0; i < protocol_.workerCount; ++i) {
      workers_.emplace_back(&ProxyServer::WorkerLoop, this);
      pthread_setname_np(workers_.back().native_handle(), "tw-work");
    }
  } catch (const std::system_error&) {
    ReleaseAll();
    return false;
  }
  stopped_.store(0);
  if (!completionPort_->PostReadable(listenHandle_, &acceptWait_)) {
    stopped_.store(1);
    ReleaseAll();
    return false;
  }
  if (idleTimeoutMs_ != 0) {
    completionPort_->PostTimed(IdleSweepMs(idleTimeoutMs_), kSweepKey, &sweepWait_);
  }
  return true;
}

void ProxyServer::Stop() {
  stopped_.store(1);
  ReleaseAll();
}

// Ends the workers, closes the port and frees every context still alive. Also the clean-up
// of a failed Start.
void ProxyServer::ReleaseAll() {
  // The protocol's own threads go first: they may still hand new contexts to the workers.
  std::unique_ptr<ProtocolService> ending;
  {
    MutexLock lock(serviceMutex_);
    ending = std::move(service_);
  }
  ending.reset();
  if (listed_.port != 0) {
    ownEndpoints_->Remove(listed_);
    listed_ = ListenEndpoint{};
  }
  // Closed first, so no client queues up while the rest stops. A worker taking a client
  // meanwhile holds the listener's slot: the close waits for it, and the worker then sees the
  // stop and closes what it took.
  if (listenHandle_ != kNoSocket) {
    completionPort_->Close(listenHandle_);
    listenHandle_ = kNoSocket;
  }
  if (listenSocket_ != -1) {
    close(listenSocket_);
    listenSocket_ = -1;
  }
  if (completionPort_) {
    for (size_t i = 0; i < workers_.size(); ++i) completionPort_->PostEmpty();
  }
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  if (!completionPort_) return;
  completionPort_->CloseQueue();
  // No worker runs any more: what is left in the list belongs to nobody else.
  IoContext* left;
  std::vector<ConnectionTally*> freed;
  {
    MutexLock lock(liveMutex_);
    left = liveHead_;
    liveHead_ = nullptr;
    liveCount_ = 0;
    for (IoContext* x = left; x != nullptr; x = x->liveNext) ReleaseTally(x, &freed);
  }
  for (ConnectionTally* t : freed) delete t;
  while (left != nullptr) {
    IoContext* next = left->liveNext;
    if (left->countedClient != 0) caps_.Release(left->countedClient);
    DiscardContext(left);
    left = next;
  }
  completionPort_.reset();
  TrimRelayPools();
}

DestinationVerdict ProxyServer::CheckDestination(uint32_t address, uint16_t port) const {
  return tw::CheckDestination(address, port, allowLocalDestinations_, access_.localAddresses.Get(),
                              ownEndpoints_.get());
}

DestinationRules ProxyServer::destinationRules() const {
  return DestinationRules{allowLocalDestinations_, access_.localAddresses.Get(), ownEndpoints_};
}

bool ProxyServer::UseService(const std::function<std::unique_ptr<ProtocolService>()>& make,
                             const std::function<void(ProtocolService&)>& use) {
  MutexLock lock(serviceMutex_);
  if (!Running()) return false;
  if (!service_) service_ = make();
  if (!service_) return false;
  use(*service_);
  return true;
}

void ProxyServer::AddLive(IoContext* x) {
  MutexLock lock(liveMutex_);
  if (x->tally != nullptr) ++x->tally->refs;
  x->liveNext = liveHead_;
  if (liveHead_ != nullptr) liveHead_->livePrev = x;
  liveHead_ = x;
  ++liveCount_;
}

void ProxyServer::RemoveLive(IoContext* x) {
  std::vector<ConnectionTally*> freed;
  MutexLock lock(liveMutex_);
  ReleaseTally(x, &freed);
  if (x->livePrev != nullptr) {
    x->livePrev->liveNext = x->liveNext;
  } else {
    liveHead_ = x->liveNext;
  }
  if (x->liveNext != nullptr) x->liveNext->livePrev = x->livePrev;
  --liveCount_;
  if (x->countedClient != 0) caps_.Release(x->countedClient);
  SocketHandle owner = x->activityOwner.load();
  uint64_t active = x->lastActiveMs.load(std::memory_order_relaxed);
  if (owner != kNoSocket && active != 0 && endedOwned_.size() < kMaxEndedOwned) {
    uint64_t& last = endedOwned_[owner];
    last = std::max(last, active);
  }
  lock.Unlock();
  for (ConnectionTally* t : freed) delete t;
}

void ProxyServer::PostRefusal(ActivityText parts) {
  if (refusalLog_.Allow(parts.address)) activity_.Post(std::move(parts));
}

void ProxyServer::PostDestinationRefusal(std::string_view destination, std::string client) {
  counters_.Refused(Refusal::kDestinationRefused);
  PostRefusal(
      ActivityText{"Refused destination " + std::string(destination), std::move(client), ""});
}

size_t ProxyServer::LiveContexts() {
  MutexLock lock(liveMutex_);
  return liveCount_;
}

void ProxyServer::SetLiveRates(int32_t download, int32_t upload) {
  MutexLock lock(liveMutex_);
  for (IoContext* x = liveHead_; x != nullptr; x = x->liveNext) {
    x->downloadRate.store(download, std::memory_order_relaxed);
    x->uploadRate.store(upload, std::memory_order_relaxed);
  }
}

void ProxyServer::CloseIdlePairs() {
  struct Seen {
    SocketHandle socket, peer, owner;
    uint64_t active;
  };
  std::vector<Seen> seen;
  std::unordered_map<SocketHandle, uint64_t> latest;
  {
    MutexLock lock(liveMutex_);
    latest.swap(endedOwned_);
    seen.reserve(liveCount_);
    for (IoContext* x = liveHead_; x != nullptr; x = x->liveNext) {
      seen.push_back(Seen{x->socket, x->peerSocket.load(), x->activityOwner.load(),
                          x->lastActiveMs.load(std::memory_order_relaxed)});
    }
  }
  // The latest activity by socket: its own context's, and that of the connections it owns
  // (an FTP control connection's data channels, also those freed since the last sweep).
  for (const Seen& s : seen) {
    uint64_t& own = latest[s.socket];
    own = std::max(own, s.active);
    if (s.owner != kNoSocket) {
      uint64_t& owner = latest[s.owner];
      owner = std::max(owner, s.active);
    }
  }
  uint64_t now = MonotonicMs();
  for (const Seen& s : seen) {
    if (s.active == 0 || s.socket <= 0 || s.peer <= 0) continue;  // not relaying
    uint64_t last = std::max(latest[s.socket], latest[s.peer]);
    // The handle is generation-checked: a socket closed meanwhile is left alone.
    if (last + idleTimeoutMs_ <= now) completionPort_->Shutdown(s.socket);
  }
}

void ProxyServer::SweepIdlePairs() {
  if (stopped_.load() != 0) return;
  CloseIdlePairs();
  completionPort_->PostTimed(IdleSweepMs(idleTimeoutMs_), kSweepKey, &sweepWait_);
}

void ProxyServer::AcceptQueued() {
  CompletionPort* port = completionPort_.get();
  for (int taken = 0;; ++taken) {
    if (taken == kAcceptsBeforeHelp) port->AskForHelp();
    if (stopped_.load() != 0) return;
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    int fd = port->AcceptNow(listenHandle_, &peer);
    if (fd == -1) {
      int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK) {
        port->PostReadable(listenHandle_, &acceptWait_);  // false once closed: stopping
        return;
      }
      if (err == EBADF) return;  // closed: stopping
      if (err == ECONNABORTED || err == EPROTO || err == ENETDOWN || err == ENETUNREACH ||
          err == EHOSTUNREACH || err == EHOSTDOWN) {
        continue;  // that client is gone; the next may be fine
      }
      // Out of descriptors or memory (or an error not known to pass): try again a little
      // later instead of spinning on a listener that stays readable.
      port->PostTimed(kAcceptBackoffMs, static_cast<uint64_t>(listenHandle_), &acceptWait_);
      return;
    }
    if (stopped_.load() != 0) {
      close(fd);
      return;
    }
    uint32_t address = peer.sin_family == AF_INET ? peer.sin_addr.s_addr : 0;
    if (address == 0) {  // no IPv4 peer to count it under: not a client this listener serves
      close(fd);
      continue;
    }
    Admission admission = caps_.Admit(address);
    if (admission != Admission::kAdmitted) {
      RefuseClient(fd, address, admission);
      continue;
    }
    counters_.Accepted();
    AcceptClient(fd, address, ntohs(peer.sin_port));
  }
}

// The refusal is a single short write that fits an empty socket buffer; if the client cannot
// take even that, it is closed without it. Nothing here waits for the client.
void ProxyServer::RefuseClient(int fd, uint32_t address, Admission why) {
  if (protocol_.busy != nullptr) {
    ssize_t rc = send(fd, protocol_.busy, std::strlen(protocol_.busy), MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)rc;
  }
  close(fd);
  counters_.Refused(why == Admission::kClientFull ? Refusal::kClientFull : Refusal::kTotalFull);
  PostRefusal(ActivityText{why == Admission::kClientFull ? kClientFull : kTotalFull,
                           AddressText(address), ""});
}

void ProxyServer::AcceptClient(int fd, uint32_t address, uint16_t port) {
  SocketHandle s = completionPort_->Associate(fd, true);
  if (s == kNoSocket) {
    caps_.Release(address);
    return;
  }
  IoContext* x = NewClientContext(this, s);
  if (x == nullptr) {
    caps_.Release(address);
    completionPort_->Close(s);
    return;
  }
  // Counted from here on until the context is freed (RemoveLive or ReleaseAll gives it back).
  x->countedClient = address;
  OpenTally(x, address, port);
  if (dialogueTimeoutMs_ != 0) x->deadlineMs = MonotonicMs() + dialogueTimeoutMs_;
  if (protocol_.greeting == nullptr) {
    // A client that has not spoken yet holds no buffer.
    RelayReadStep(x, dialogueTimeoutMs_);
    return;
  }
  uint32_t n = static_cast<uint32_t>(std::strlen(protocol_.greeting));
  std::memcpy(x->buffer, protocol_.greeting, n);
  x->wsaBuf.len = n;
  if (!completionPort_->PostSend(s, &x->overlapped, x->buffer, n)) CloseContext(x);
}

}  // namespace tw
