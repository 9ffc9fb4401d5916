// The proxy's live client connections as the console and the traffic book see them: their
// tallies (connection_tally.h), kept beside the list of live contexts under the same lock.
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/core/io_context.h"
#include "engine/core/proxy_server.h"
#include "platform/tick.h"

namespace tw {

namespace {

// Rates are taken over at least this long, so two readers close together do not see a rate
// made of a few milliseconds.
constexpr uint64_t kRateWindowMs = 1000;

std::atomic<uint64_t> g_next_tally_id{1};

int64_t WallClockMs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

void NoteUser(IoContext* x, std::string_view user, uint64_t carried) {
  if (x->tally != nullptr) x->server->NoteTally(x, &user, nullptr, carried);
}

void NoteDestination(IoContext* x, std::string_view host, uint16_t port) {
  if (x->tally == nullptr) return;
  std::string text;
  text.reserve(host.size() + 6);
  text.append(host.substr(0, kTallyDestinationMax)).append(":").append(std::to_string(port));
  std::string_view view(text);
  x->server->NoteTally(x, nullptr, &view);
}

void ProxyServer::OpenTally(IoContext* x, uint32_t address, uint16_t port) {
  ConnectionTally* t = new (std::nothrow) ConnectionTally();
  if (t == nullptr) return;  // the connection is served, only not listed
  t->id = g_next_tally_id.fetch_add(1, std::memory_order_relaxed);
  t->proxy = protocolId_;
  t->clientAddr = address;
  t->clientPort = port;
  t->startedUnixMs = WallClockMs();
  t->startedMonoMs = MonotonicMs();
  MutexLock lock(liveMutex_);
  t->refs = 1;
  t->next = tallyHead_;
  if (tallyHead_ != nullptr) tallyHead_->prev = t;
  tallyHead_ = t;
  ++liveTallies_;
  x->tally = t;
}

void ProxyServer::ShareTally(IoContext* x, SocketHandle owner) {
  MutexLock lock(liveMutex_);
  if (x->tally != nullptr || owner == kNoSocket) return;
  for (IoContext* o = liveHead_; o != nullptr; o = o->liveNext) {
    if (o->socket == owner && o->tally != nullptr) {
      x->tally = o->tally;
      ++x->tally->refs;
      return;
    }
  }
}

void ProxyServer::ReportTally(ConnectionTally* t, uint64_t carried) {
  uint64_t up = t->up.load(std::memory_order_relaxed);
  up = up - t->reportedUp >= carried ? up - carried : t->reportedUp;
  uint64_t down = t->down.load(std::memory_order_relaxed);
  if (traffic_ != nullptr && (up != t->reportedUp || down != t->reportedDown)) {
    traffic_->ConnectionEnded(protocolId_, t->user, t->clientAddr, up - t->reportedUp,
                              down - t->reportedDown);
  }
  t->reportedUp = up;
  t->reportedDown = down;
}

void ProxyServer::ReleaseTally(IoContext* x, std::vector<ConnectionTally*>* freed) {
  ConnectionTally* t = x->tally;
  if (t == nullptr) return;
  x->tally = nullptr;
  if (--t->refs != 0) return;
  ReportTally(t);
  endedUp_ += t->up.load(std::memory_order_relaxed);
  endedDown_ += t->down.load(std::memory_order_relaxed);
  if (t->prev != nullptr) {
    t->prev->next = t->next;
  } else {
    tallyHead_ = t->next;
  }
  if (t->next != nullptr) t->next->prev = t->prev;
  --liveTallies_;
  freed->push_back(t);
}

void ProxyServer::NoteTally(IoContext* x, const std::string_view* user,
                            const std::string_view* destination, uint64_t carried) {
  MutexLock lock(liveMutex_);
  ConnectionTally* t = x->tally;
  if (t == nullptr) return;
  if (user != nullptr && *user != t->user) {
    ReportTally(t, carried);  // what was moved so far belongs to the previous user
    t->user.assign(*user);
  }
  if (destination != nullptr && *destination != t->destination) t->destination.assign(*destination);
}

std::vector<ConnectionView> ProxyServer::LiveConnections() {
  std::vector<ConnectionView> out;
  uint64_t now = MonotonicMs();
  MutexLock lock(liveMutex_);
  out.reserve(liveTallies_);
  for (ConnectionTally* t = tallyHead_; t != nullptr; t = t->next) {
    uint64_t up = t->up.load(std::memory_order_relaxed);
    uint64_t down = t->down.load(std::memory_order_relaxed);
    if (t->sampleMs == 0) t->sampleMs = t->startedMonoMs;
    if (now >= t->sampleMs + kRateWindowMs) {
      uint64_t span = now - t->sampleMs;
      t->rateUp = (up - t->sampleUp) * 1000 / span;
      t->rateDown = (down - t->sampleDown) * 1000 / span;
      t->sampleUp = up;
      t->sampleDown = down;
      t->sampleMs = now;
    }
    ConnectionView v;
    v.id = t->id;
    v.proxy = t->proxy;
    v.clientAddr = t->clientAddr;
    v.clientPort = t->clientPort;
    v.user = t->user;
    v.destination = t->destination;
    v.startedUnixMs = t->startedUnixMs;
    v.up = up;
    v.down = down;
    v.rateUp = t->rateUp;
    v.rateDown = t->rateDown;
    out.push_back(std::move(v));
  }
  return out;
}

namespace {

// The sockets to shut down for the contexts of the tallies `pick` chooses; the handles are
// generation-checked, so one closed meanwhile is left alone.
template <class Pick>
std::vector<SocketHandle> SocketsOf(IoContext* head, Pick pick) {
  std::vector<SocketHandle> out;
  for (IoContext* x = head; x != nullptr; x = x->liveNext) {
    if (x->tally == nullptr || !pick(*x->tally)) continue;
    if (x->socket != kNoSocket) out.push_back(x->socket);
    if (x->connectSocket != kNoSocket) out.push_back(x->connectSocket);
  }
  return out;
}

}  // namespace

bool ProxyServer::Disconnect(uint64_t id) {
  std::vector<SocketHandle> cut;
  {
    MutexLock lock(liveMutex_);
    cut = SocketsOf(liveHead_, [id](const ConnectionTally& t) { return t.id == id; });
  }
  if (!Running() || cut.empty()) return false;
  for (SocketHandle s : cut) completionPort_->Shutdown(s);
  return true;
}

int ProxyServer::DisconnectUser(std::string_view user) {
  if (user.empty()) return 0;
  std::vector<SocketHandle> cut;
  int connections = 0;
  {
    MutexLock lock(liveMutex_);
    for (ConnectionTally* t = tallyHead_; t != nullptr; t = t->next) connections += t->user == user;
    cut = SocketsOf(liveHead_, [user](const ConnectionTally& t) { return t.user == user; });
  }
  if (!Running() || cut.empty()) return 0;
  for (SocketHandle s : cut) completionPort_->Shutdown(s);
  return connections;
}

ProxyTotals ProxyServer::Totals() {
  MutexLock lock(liveMutex_);
  ProxyTotals totals{endedUp_, endedDown_, liveTallies_};
  for (ConnectionTally* t = tallyHead_; t != nullptr; t = t->next) {
    totals.up += t->up.load(std::memory_order_relaxed);
    totals.down += t->down.load(std::memory_order_relaxed);
  }
  return totals;
}

void ProxyServer::ReportTraffic() {
  MutexLock lock(liveMutex_);
  if (traffic_ == nullptr) return;
  for (ConnectionTally* t = tallyHead_; t != nullptr; t = t->next) ReportTally(t);
}

}  // namespace tw
