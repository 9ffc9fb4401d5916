#include "engine/core/destination.h"

#include <sys/socket.h>

#include <string>

#include "config/activity_log.h"
#include "engine/core/dialogue.h"
#include "engine/core/proxy_server.h"
#include "platform/address_text.h"
#include "platform/resolver.h"
#include "platform/socket_options.h"
#include "platform/tick.h"

namespace tw {

namespace {
constexpr size_t kMaxHostLength = 255;  // longest DNS name
}  // namespace

bool ConnectDestination(IoContext* x, std::string_view host, uint16_t port, ConnectFor who) {
  if (host.empty() || host.size() > kMaxHostLength) return false;
  uint32_t address;
  if (ParseIPv4(host, &address)) {
    return who == ConnectFor::kClient ? ConnectAllowed(x, address, port)
                                      : ConnectAddress(x, address, port);
  }
  x->connectPort = port;
  x->connectStartUs = MonotonicUs();
  x->server->resolver().Resolve(x->server->completionPort(), std::string(host),
                                static_cast<uint64_t>(x->socket), &x->overlapped,
                                x->server->lookupTimeoutMs());
  return true;
}

bool ConnectResolved(IoContext* x, uint32_t bytes, ConnectFor who) {
  if (x->overlapped.error != 0) return false;
  return who == ConnectFor::kClient ? ConnectAllowed(x, bytes, x->connectPort)
                                    : ConnectAddress(x, bytes, x->connectPort);
}

bool ConnectAllowed(IoContext* x, uint32_t address, uint16_t port) {
  if (x->server->CheckDestination(address, port) == DestinationVerdict::kAllowed) {
    return ConnectAddress(x, address, port);
  }
  x->server->PostDestinationRefusal(AddressText(address) + ":" + std::to_string(port),
                                    ClientAddress(x));
  // Completes like a connect, so the handler answers from the one state that waits for it.
  Port(x)->Post(0, static_cast<uint64_t>(x->socket), &x->overlapped, IoOp::kConnect,
                kDestinationRefused);
  return true;
}

bool ConnectAddress(IoContext* x, uint32_t address, uint16_t port) {
  CompletionPort* cp = Port(x);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd == -1) return false;
  SetNoDelay(fd);
  SocketHandle s = cp->Associate(fd, true);
  if (s == kNoSocket) return false;
  x->connectSocket = s;
  x->connectStartUs = MonotonicUs();
  if (!cp->PostConnect(s, MakeSockAddr(address, port), x->server->connectTimeoutMs(),
                       &x->overlapped)) {
    x->connectSocket = kNoSocket;
    cp->Close(s);
    return false;
  }
  return true;
}

namespace {

ConnectProgress Progress(IoContext* x, uint32_t bytes, void (*onResolved)(IoContext*)) {
  ProxyCounters& counters = x->server->counters();
  if (x->overlapped.op == IoOp::kResolve) {
    counters.resolve().Observe(MonotonicUs() - x->connectStartUs);
    if (x->overlapped.error != 0) return ConnectProgress::kUnresolved;
    if (onResolved != nullptr) onResolved(x);
    return ConnectResolved(x, bytes) ? ConnectProgress::kPending : ConnectProgress::kUnreachable;
  }
  if (x->overlapped.op == IoOp::kConnect && x->overlapped.error == 0) {
    counters.connect().Observe(MonotonicUs() - x->connectStartUs);
    return ConnectProgress::kConnected;
  }
  if (x->overlapped.op == IoOp::kConnect && x->overlapped.error == kDestinationRefused) {
    return ConnectProgress::kRefused;
  }
  return ConnectProgress::kUnreachable;
}

}  // namespace

ConnectProgress ContinueConnect(IoContext* x, uint32_t bytes, void (*onResolved)(IoContext*)) {
  ConnectProgress progress = Progress(x, bytes, onResolved);
  if (progress == ConnectProgress::kPending || RetakeBuffer(x)) return progress;
  if (x->connectSocket != kNoSocket) Port(x)->Close(TakeConnectedSocket(x));
  CloseContext(x);
  return ConnectProgress::kClosed;
}

IoContext* PairConnected(IoContext* x, int32_t stateC, int32_t stateD) {
  SocketHandle s = TakeConnectedSocket(x);
  IoContext* d = Pair(x, s, stateC, stateD);
  if (d == nullptr) {
    Port(x)->Close(s);
    CloseContext(x);
  }
  return d;
}

SocketHandle TakeConnectedSocket(IoContext* x) {
  SocketHandle s = x->connectSocket;
  x->connectSocket = kNoSocket;
  return s;
}

}  // namespace tw
