#include "engine/core/io_context.h"

#include <errno.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "engine/core/proxy_server.h"
#include "engine/core/throttle.h"
#include "platform/tick.h"

namespace tw {

void ReturnBuffer(IoContext* x) {
  ReleaseIoBuffer(x->buffer);
  x->buffer = nullptr;
}

namespace {

std::atomic<int64_t> g_live_contexts{0};
std::atomic<int64_t> g_spliced_bytes{0};

// How long a read waits for memory for its buffer before it tries again.
constexpr uint32_t kBufferRetryMs = 50;
// Pipe fills a raw context moves in a row before it lets the other completions of its
// worker run.
constexpr int kSpliceRounds = 2;

// A buffer for a dialogue, which starts from zero-filled memory; nullptr when memory is
// exhausted.
char* DialogueBuffer() {
  char* buffer = AcquireIoBuffer();
  if (buffer != nullptr) std::memset(buffer, 0, kIoBufferSize);
  return buffer;
}

IoContext* Allocate(ProxyServer* server, SocketHandle socket) {
  char* buffer = DialogueBuffer();
  if (buffer == nullptr) return nullptr;
  IoContext* x = new (std::nothrow) IoContext();
  if (x == nullptr) {
    ReleaseIoBuffer(buffer);
    return nullptr;
  }
  g_live_contexts.fetch_add(1, std::memory_order_relaxed);
  x->buffer = buffer;
  x->socket = socket;
  x->server = server;
  return x;
}

void Delete(IoContext* x) {
  ReleaseIoBuffer(x->buffer);
  ReleaseRelayPipe(x->pipe, x->piped == 0);
  delete x;
  g_live_contexts.fetch_sub(1, std::memory_order_relaxed);
}

int32_t RateOf(const IoContext* x) {
  return (x->downstream == 1 ? x->downloadRate : x->uploadRate).load(std::memory_order_relaxed);
}

void DropPipe(IoContext* x) {
  ReleaseRelayPipe(x->pipe, x->piped == 0);
  x->pipe = RelayPipe{};
  x->piped = 0;
}

// Posts the relay's wait for bytes on x's socket; closes x when it cannot.
void WaitReadable(IoContext* x, uint32_t timeout_ms = 0) {
  x->relayWait = RelayWait::kReadable;
  if (!Port(x)->PostReadable(x->socket, &x->overlapped, timeout_ms)) {
    x->relayWait = RelayWait::kNone;
    CloseContext(x);
  }
}

// Rewrites c as the completion of operation op with n bytes (-1: failed with errno), as the
// handler expects it.
bool PassOn(IoContext* x, Completion* c, IoOp op, ssize_t n) {
  c->op = op;
  c->bytes = n > 0 ? static_cast<uint32_t>(n) : 0u;
  c->error = n == -1 ? errno : 0;
  c->key = static_cast<uint64_t>(op == IoOp::kRead ? x->socket : x->peerSocket.load());
  x->overlapped.op = c->op;
  x->overlapped.error = c->error;
  return true;
}

// What a step of the kernel path left to do.
enum class Moved {
  kWaiting,     // x has a wait outstanding (or was closed): leave it alone
  kCopy,        // no pipe, or a throttle came on: go on through the buffer
  kToHandler,   // c now holds the end of stream or failure for the handler
  kBulk,        // more than a buffer's worth is coming: let the pipe move it
};

// Moves the bytes in x's pipe to its peer. kCopy here means "all sent, go on".
Moved DrainPipe(IoContext* x, Completion* c) {
  CompletionPort* port = Port(x);
  while (x->piped > 0) {
    SocketHandle peer = x->peerSocket.load();
    ssize_t n = port->SpliceToSocket(peer, x->pipe.out, x->piped);
    if (n > 0) {
      x->piped -= static_cast<uint32_t>(n);
      continue;
    }
    if (n == -1 && errno == EAGAIN) {
      x->relayWait = RelayWait::kPipeOut;
      if (port->PostWritable(peer, &x->overlapped)) return Moved::kWaiting;
      x->relayWait = RelayWait::kNone;
      errno = EPIPE;
    }
    if (n == 0) errno = EPIPE;
    PassOn(x, c, IoOp::kSend, -1);
    return Moved::kToHandler;
  }
  uint32_t now = TickCount();
  x->lastSendTick = now != 0 ? now : 1;
  MarkActive(x, 0);
  return Moved::kCopy;
}

// A limited raw context has moved all its bytes: its handler hears it as a completed send.
Moved LimitReached(IoContext* x, Completion* c) {
  DropPipe(x);
  PassOn(x, c, IoOp::kSend, 1);
  return Moved::kToHandler;
}

// The kernel path of a raw, unthrottled context whose socket is readable: fills the pipe from
// the socket (never beyond a limited context's bytes) and drains it into the peer, a few
// rounds, then waits again.
Moved SpliceRounds(IoContext* x, Completion* c) {
  CompletionPort* port = Port(x);
  if (!x->pipe.valid()) {
    x->pipe = AcquireRelayPipe();
    if (!x->pipe.valid()) return Moved::kCopy;
  }
  uint64_t moved = 0;
  for (int round = 0; round < kSpliceRounds; ++round) {
    if (RateOf(x) > 0) {
      DropPipe(x);
      return Moved::kCopy;
    }
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kRelayPipeBytes, x->rawLeft));
    ssize_t n = port->SpliceFromSocket(x->socket, x->pipe.in, want);
    if (n == -1 && errno == EAGAIN) {
      if (moved < kIoBufferSize) x->rawBulk = false;  // small again: back to the buffer
      break;
    }
    if (n <= 0) {
      DropPipe(x);
      PassOn(x, c, IoOp::kRead, n);
      return Moved::kToHandler;
    }
    x->piped = static_cast<uint32_t>(n);
    moved += static_cast<uint64_t>(n);
    if (x->rawLeft != kNoRawLimit) x->rawLeft -= static_cast<uint64_t>(n);
    g_spliced_bytes.fetch_add(n, std::memory_order_relaxed);
    CountRead(x, static_cast<uint64_t>(n));
    MarkActive(x, 0);
    Moved drained = DrainPipe(x, c);
    if (drained != Moved::kCopy) return drained;
    if (x->rawLeft == 0) return LimitReached(x, c);
  }
  DropPipe(x);  // empty: an idle pair holds no pipe
  WaitReadable(x);
  return Moved::kWaiting;
}

// The buffer path of a raw, unthrottled context without a limit whose socket is readable:
// receives once into x's buffer and sends it on at once. A read that fills the buffer means
// bulk (kBulk: the pipe takes over); a shorter one drained the socket, so x waits for the next
// bytes holding no buffer. A send the peer cannot take whole goes on as the relay's posted
// send of the rest, which keeps the buffer until it completes.
Moved CopyOnce(IoContext* x, Completion* c) {
  CompletionPort* port = Port(x);
  if (RateOf(x) > 0) return Moved::kCopy;
  if (x->buffer == nullptr) x->buffer = AcquireIoBuffer();
  if (x->buffer == nullptr) return Moved::kBulk;  // the pipe needs no buffer
  ssize_t n = port->Receive(x->socket, x->buffer, kIoBufferSize);
  if (n == -1 && errno == EAGAIN) {
    ReturnBuffer(x);
    WaitReadable(x);
    return Moved::kWaiting;
  }
  if (n <= 0) {
    PassOn(x, c, IoOp::kRead, n);
    return Moved::kToHandler;
  }
  MarkActive(x, 0);
  CountRead(x, static_cast<uint64_t>(n));
  uint32_t got = static_cast<uint32_t>(n);
  ssize_t sent = port->SendNow(x->peerSocket.load(), x->buffer, got);
  if (sent == -1 && errno != EAGAIN) {
    PassOn(x, c, IoOp::kSend, -1);
    return Moved::kToHandler;
  }
  uint32_t done = sent > 0 ? static_cast<uint32_t>(sent) : 0u;
  if (done < got) {
    std::memmove(x->buffer, x->buffer + done, got - done);
    x->wsaBuf.len = got - done;
    RelaySendStep(x);
    return Moved::kWaiting;
  }
  uint32_t now = TickCount();
  x->lastSendTick = now != 0 ? now : 1;
  if (got == kIoBufferSize) {
    x->rawBulk = true;
    ReturnBuffer(x);
    return Moved::kBulk;
  }
  ReturnBuffer(x);
  WaitReadable(x);
  return Moved::kWaiting;
}

// x's socket is readable: moves its bytes by the kernel or into a buffer.
bool ReadNow(IoContext* x, Completion* c) {
  if (x->raw && RateOf(x) <= 0) {
    Moved m = x->rawLeft == kNoRawLimit && !x->rawBulk ? CopyOnce(x, c) : Moved::kBulk;
    if (m == Moved::kBulk) m = SpliceRounds(x, c);
    if (m == Moved::kWaiting) return false;
    if (m == Moved::kToHandler) return true;
  }
  DropPipe(x);
  if (x->buffer == nullptr) x->buffer = AcquireIoBuffer();
  if (x->buffer == nullptr) {
    x->relayWait = RelayWait::kReadable;
    Port(x)->PostTimed(kBufferRetryMs, static_cast<uint64_t>(x->socket), &x->overlapped);
    return false;
  }
  // A limited raw context on the copy path still reads no byte beyond its limit.
  uint32_t want = kIoBufferSize;
  if (x->raw && x->rawLeft < want) want = static_cast<uint32_t>(x->rawLeft);
  ssize_t n = Port(x)->Receive(x->socket, x->buffer, want);
  if (n == -1 && errno == EAGAIN) {
    ReturnBuffer(x);
    WaitReadable(x);
    return false;
  }
  return PassOn(x, c, IoOp::kRead, n);
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

int64_t SplicedBytes() {
  return g_spliced_bytes.load(std::memory_order_relaxed);
}

bool RetakeBuffer(IoContext* x) {
  if (x->buffer == nullptr) x->buffer = DialogueBuffer();
  return x->buffer != nullptr;
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
  d->downloadRate.store(c->downloadRate.load());
  d->uploadRate.store(c->uploadRate.load());
  d->state = stateD;
  d->activityOwner.store(c->activityOwner.load());
  d->tally = c->tally;
  // Bytes from the client's side count up, from the other side down (an FTP data channel's
  // first context may be either).
  d->tallyDown = !c->tallyDown;
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

void RelayReadStep(IoContext* x, uint32_t timeout_ms) {
  x->wsaBuf.len = kIoBufferSize;
  ReturnBuffer(x);
  WaitReadable(x, timeout_ms);
}

bool TakeRelayWait(IoContext* x, Completion* c) {
  RelayWait wait = x->relayWait;
  x->relayWait = RelayWait::kNone;
  if (wait == RelayWait::kPipeOut) {
    if (c->op != IoOp::kWritable || c->error != 0) {
      errno = c->error != 0 ? c->error : EPIPE;
      return PassOn(x, c, IoOp::kSend, -1);
    }
    Moved m = DrainPipe(x, c);
    if (m == Moved::kCopy && x->rawLeft == 0) m = LimitReached(x, c);
    if (m == Moved::kToHandler) return true;
    if (m == Moved::kCopy) WaitReadable(x);
    return false;
  }
  // A readable socket, or the retry of a read that found no memory for its buffer.
  if ((c->op == IoOp::kReadable || c->op == IoOp::kTimer) && c->error == 0) return ReadNow(x, c);
  // The wait failed (socket closed, stale): the handler sees a failed read, with a buffer as
  // it would have had one.
  if (x->buffer == nullptr) x->buffer = AcquireIoBuffer();
  if (x->buffer == nullptr) {
    CloseContext(x);
    return false;
  }
  errno = c->error != 0 ? c->error : ECANCELED;
  return PassOn(x, c, IoOp::kRead, -1);
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

void RelayRaw(IoContext* x, uint64_t key, uint32_t bytes) {
  x->raw = true;
  Relay(x, key, bytes);
}

void RelayRawFor(IoContext* x, uint64_t limit) {
  x->raw = true;
  x->rawLeft = limit;
  RelayReadStep(x);
}

uint64_t EndRawFor(IoContext* x) {
  uint64_t left = x->rawLeft;
  x->raw = false;
  x->rawLeft = kNoRawLimit;
  return left;
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
