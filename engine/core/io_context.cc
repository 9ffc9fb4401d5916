#include "engine/core/io_context.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "engine/core/proxy_server.h"
#include "engine/core/throttle.h"
#include "platform/tick.h"

namespace tw {

namespace {

std::atomic<int64_t> g_live_contexts{0};

IoContext* Allocate(ProxyServer* server, SocketHandle socket) {
  IoContext* x = new (std::nothrow) IoContext();
  if (x == nullptr) return nullptr;
  g_live_contexts.fetch_add(1, std::memory_order_relaxed);
  x->wsaBuf = IoBuffer{kIoBufferSize, x->buffer};
  x->socket = socket;
  x->server = server;
  return x;
}

void Delete(IoContext* x) {
  delete x;
  g_live_contexts.fetch_sub(1, std::memory_order_relaxed);
}

void Free(IoContext* x) {
  x->server->RemoveLive(x);
  Delete(x);
}

}  // namespace

CompletionPort* Port(IoContext* x) {
  return x->server->completionPort().get();
}

void MarkActive(IoContext* x, uint32_t hold_ms) {
  x->lastActiveMs.store(MonotonicMs() + hold_ms, std::memory_order_relaxed);
}

int64_t LiveContextCount() {
  return g_live_contexts.load(std::memory_order_relaxed);
}

IoContext* NewClientContext(ProxyServer* server, SocketHandle socket) {
  IoContext* x = Allocate(server, socket);
  if (x == nullptr) return nullptr;
  x->downloadRate = server->access().downloadRate;
  x->uploadRate = server->access().uploadRate;
  server->AddLive(x);
  return x;
}

IoContext* Pair(IoContext* c, SocketHandle s, int32_t stateC, int32_t stateD) {
  IoContext* d = Allocate(c->server, s);
  if (d == nullptr) return nullptr;
  d->peerSocket.store(c->socket);
  d->partner = c;
  d->downstream = 1;
  d->downloadRate = c->downloadRate;
  d->uploadRate = c->uploadRate;
  d->state = stateD;
  d->activityOwner.store(c->activityOwner.load());
  MarkActive(c, 0);
  MarkActive(d, 0);
  c->server->AddLive(d);
  {
    MutexLock lock(c->server->pairMutex());
    c->partner = d;
    c->peerSocket.store(s);
  }
  c->state = stateC;
  return d;
}

void RelaySendStep(IoContext* x) {
  // The tick is taken before the send is posted: afterwards x may already belong to another
  // worker handling the send's completion.
  uint32_t now = TickCount();
  x->lastSendTick = now != 0 ? now : 1;
  if (!Port(x)->PostSend(x->peerSocket.load(), &x->overlapped, x->buffer, x->wsaBuf.len)) {
    CloseContext(x);
  }
}

void RelayReadStep(IoContext* x) {
  x->wsaBuf.len = kIoBufferSize;
  std::memset(x->buffer, 0, kIoBufferSize);
  if (!Port(x)->PostRead(x->socket, &x->overlapped, x->buffer, kIoBufferSize)) {
    CloseContext(x);
  }
}

void RelayBytes(IoContext* x, uint32_t n) {
  x->wsaBuf.len = n;
  int32_t rate = x->downstream == 1 ? x->downloadRate : x->uploadRate;
  uint32_t pause = 0;
  ThrottleSend(x->lastSendTick, static_cast<int32_t>(n), rate, &pause);
  if (pause > 0) {
    MarkActive(x, pause);  // held back, not idle
    Port(x)->PostTimed(pause, static_cast<uint64_t>(x->socket), &x->overlapped);
    return;
  }
  RelaySendStep(x);
}

void Relay(IoContext* x, uint64_t key, uint32_t bytes) {
  switch (x->overlapped.op) {
    case IoOp::kRead: {
      if (key != static_cast<uint64_t>(x->socket)) return;
      if (bytes == 0) {
        CloseContext(x);
        return;
      }
      RelayBytes(x, bytes);
      return;
    }
    case IoOp::kTimer:
      RelaySendStep(x);
      return;
    case IoOp::kSend:
      // A send that failed after it started (peer reset, partner closed) ends the pair too.
      if (bytes == 0) {
        CloseContext(x);
        return;
      }
      RelayReadStep(x);
      return;
    default:
      return;
  }
}

void DiscardContext(IoContext* x) {
  CompletionPort* port = Port(x);
  port->Close(x->socket);
  port->Close(x->connectSocket);
  Delete(x);
}

void CloseContext(IoContext* x) {
  ProxyServer* server = x->server;
  SocketHandle partner_socket = kNoSocket;
  IoContext* wake = nullptr;
  {
    MutexLock lock(server->pairMutex());
    if (IoContext* p = x->partner) {
      partner_socket = p->socket;
      p->partner = nullptr;
      p->peerSocket.store(kClosedPeer);
      x->partner = nullptr;
      if (p->idle) {
        p->idle = false;
        wake = p;
      }
    }
  }
  CompletionPort* port = server->completionPort().get();
  port->Close(x->socket);
  port->Close(x->connectSocket);
  Free(x);
  if (wake != nullptr) {
    port->Post(0, static_cast<uint64_t>(wake->socket), &wake->overlapped);
    return;
  }
  // The handle is generation-checked: if the partner has meanwhile closed its socket and the
  // number was reused, this shuts down nothing.
  if (partner_socket != kNoSocket) port->Shutdown(partner_socket);
}

}  // namespace tw
