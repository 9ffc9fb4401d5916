#pragma once
// The per-socket record of a proxied connection and the relay shared by every protocol.
//
// Each socket a proxy handles, the client's and the destination's, has one IoContext. A context
// carries one direction: it reads from its own `socket` and sends what it read to `peerSocket`.
// It has at most one operation outstanding, always posted with its own `overlapped`, so a
// context is handled by one worker at a time. Rule for handlers: once an operation is posted,
// do not touch the context again in that call (its completion may already run elsewhere).
//
// States of the relay: the handler's state number stays as the handler left it; the relay
// itself looks only at which operation completed (overlapped.op):
//   kRead  -> bytes arrived: send them to the peer (after the throttle's pause, if any)
//   kTimer -> the throttle's pause is over: send the bytes held in the buffer
//   kSend  -> the peer took the bytes: read the next chunk
// A read of 0 bytes, a failed read or a failed send closes the context and its partner.
//
// The relay's read waits for readiness and holds no buffer meanwhile: the buffer comes from
// the pool (relay_pools.h) when bytes are there, and goes back when the next read is posted, so
// a context keeps one only while a send from it is under way (and during a handler's
// dialogue, which starts with one). A raw context (RelayRaw: plain bytes both ways, no
// throttle) has its bytes moved without its handler seeing them: small messages straight
// through a pooled buffer (a recv and a send cost less than two splices), and once a wake-up
// finds a full buffer's worth, by the kernel through a pooled pipe; a throttle that comes on later sends it back to the copy path once the
// pipe is empty, so the bytes and their order stay the same. A limited raw context
// (RelayRawFor) does the same for a known number of bytes only, then hands back to its handler.
//
// What a protocol keeps beyond the buffer (names, flags, what a send in progress is) is its
// record (protocol_state.h), reached with RecordOf.
#include <atomic>
#include <cstdint>
#include <variant>

#include "engine/core/connection_tally.h"
#include "engine/core/protocol_state.h"
#include "engine/core/relay_pools.h"
#include "platform/completion_port.h"

namespace tw {

class ProxyServer;

// Which wait of the relay's own a context has outstanding; its completion is taken by
// TakeRelayWait before the handler sees anything.
enum class RelayWait : uint8_t {
  kNone,
  kReadable,  // RelayReadStep: waiting for bytes on `socket`
  kPipeOut,   // the pipe holds bytes `peerSocket` cannot take yet
};

// The limit of a raw context that may move every byte up to the end of its stream.
constexpr uint64_t kNoRawLimit = UINT64_MAX;

struct IoBuffer {
  uint32_t len;
  char* buf;
};

struct IoContext {
  Overlapped overlapped;  // first member: a completion's Overlapped* is the context
  IoBuffer wsaBuf{kIoBufferSize, nullptr};
  // kIoBufferSize bytes from the pool while the context has one (always during a handler's
  // dialogue and while a send from it is under way); nullptr while the relay waits for bytes.
  char* buffer = nullptr;
  SocketHandle socket = kNoSocket;
  // The socket this context sends to: kNoSocket before pairing, kClosedPeer once the partner
  // has been closed. Written by the partner's close while this context may be relaying.
  std::atomic<SocketHandle> peerSocket{kNoSocket};
  ProxyServer* server = nullptr;
  IoContext* partner = nullptr;  // GUARDED_BY(server->pairMutex()) once paired
  int32_t state = 1;
  uint32_t lastSendTick = 0;  // tick of the last relayed send; 0 = none yet
  int32_t downstream = 0;     // 1: `socket` is the destination's, data flows to the client
  // Bytes per second toward the client / from the client; <= 0 unlimited. Atomic: a limit
  // may be changed while the relay runs, and the relay reads it before every move.
  std::atomic<int32_t> downloadRate{0};
  std::atomic<int32_t> uploadRate{0};
  // GUARDED_BY(server->pairMutex()): x has no operation outstanding and waits for its
  // partner, which posts it a kPosted completion (0 bytes, key: its socket) to go on; CloseContext
  // of the partner does so too instead of shutting x's socket down.
  bool idle = false;
  ProtocolRecord record;  // the handler's own record; see RecordOf

  // The relay's own: its outstanding wait, whether the stream is raw (RelayRaw), the pipe of a
  // raw context while bytes pass through it and how many it holds; for a limited raw context
  // (RelayRawFor), how many bytes the kernel may still take from `socket`.
  RelayWait relayWait = RelayWait::kNone;
  bool raw = false;
  // A raw context whose last wake-up found more than a buffer's worth: the pipe moves its
  // bytes at once; otherwise they go through a buffer first (see ReadNow).
  bool rawBulk = false;
  uint32_t piped = 0;
  RelayPipe pipe;
  uint64_t rawLeft = kNoRawLimit;

  // Not part of the protocol record: the destination socket while its connect is in progress
  // (and its port while the name is looked up), and the links of the proxy's list of live contexts
  // (so Stop can release them).
  SocketHandle connectSocket = kNoSocket;
  uint16_t connectPort = 0;  // the destination port while its name is looked up
  uint64_t connectStartUs = 0;  // when the lookup or the connect in progress began
  // Bytes of an unfinished protocol message kept at the start of `buffer` between reads, and
  // the monotonic time (ms) by which the client must finish its dialogue (0 = no limit).
  uint32_t held = 0;
  uint64_t deadlineMs = 0;
  // The monotonic time (ms) of the last read or send that moved bytes, or until which the
  // throttle holds the context; 0 before it is paired. Written by the worker that handles the
  // context, read by the idle sweep.
  std::atomic<uint64_t> lastActiveMs{0};
  // The client socket of the connection this one serves (an FTP data channel's control
  // connection), which counts as busy while this one moves bytes; kNoSocket: none.
  std::atomic<SocketHandle> activityOwner{kNoSocket};
  IoContext* liveNext = nullptr;
  IoContext* livePrev = nullptr;
  // The client address (network order) this connection is counted under in the proxy's
  // connection caps until it is freed; 0 = not counted (destinations, data channels).
  uint32_t countedClient = 0;
  // The client connection's record this context counts its bytes toward (nullptr: none, as
  // for the proxy's own lookups); bytes read from `socket` count as `down` when tallyDown.
  ConnectionTally* tally = nullptr;
  bool tallyDown = false;
};

static_assert(offsetof(IoContext, overlapped) == 0, "the Overlapped must come first");

// The record of protocol R in x, made (all fields at their defaults) on first use. A context
// belongs to one protocol, so it only ever holds one kind of record.
template <class R>
R& RecordOf(IoContext* x) {
  if (R* r = std::get_if<R>(&x->record)) return *r;
  return x->record.emplace<R>();
}

// The completion port of x's proxy, which every operation of x is posted to.
CompletionPort* Port(IoContext* x);

// Records that x moved bytes now, or is held by the throttle for hold_ms more.
void MarkActive(IoContext* x, uint32_t hold_ms);

// Contexts allocated and not yet freed, in the whole process (for leak checks).
int64_t LiveContextCount();

// Bytes the kernel path has taken in from sockets, in the whole process (tests, benchmarks).
int64_t SplicedBytes();

// While x waits for something that brings no bytes (a destination's connect) and keeps none in
// its buffer, the buffer goes back to the pool: a burst of clients waiting for slow
// destinations then holds no memory for bytes. RetakeBuffer gives x a zero-filled one again
// before its dialogue goes on (true at once when x has one); false when memory is exhausted.
void ReturnBuffer(IoContext* x);
bool RetakeBuffer(IoContext* x);

// A new client context of `server` for an accepted, associated socket, registered with the
// server's list of live contexts; nullptr when memory is exhausted.
IoContext* NewClientContext(ProxyServer* server, SocketHandle socket);

// Pairs client context c with the connected destination socket s (associated with the port):
// returns the new destination context d, or nullptr when memory is exhausted (nothing changed).
// Both are marked active, and d serves the connection c serves.
// The caller then posts d's first read and continues c.
IoContext* Pair(IoContext* c, SocketHandle s, int32_t stateC, int32_t stateD);

// The shared continuation for a completion of context x (see the states above). Completions
// that are not the relay's are ignored.
void Relay(IoContext* x, uint64_t key, uint32_t bytes);

// Relay for a context whose stream is plain bytes both ways from now on, with no handler
// looking at them: while x is not throttled, the kernel moves them (see above). A handler calls
// it in place of Relay in its relay state.
void RelayRaw(IoContext* x, uint64_t key, uint32_t bytes);

// Like RelayRaw, for the next `limit` (> 0) bytes of x's stream only (a message body of known
// length; kNoRawLimit: up to the end of stream): posts the wait for them, so x must hold no
// bytes still to be sent. The kernel never takes a byte beyond them off the socket, so the
// next message stays there for the handler. The handler gets back one of:
//   - a send of 1 byte or more: all `limit` bytes have reached the peer;
//   - a read (bytes at the start of x's buffer, never more than are left of `limit`): the copy
//     path has taken over (a throttle came on, no pipe to be had);
//   - a read of 0 bytes or a failed read or send: end of stream or failure.
// It must then call EndRawFor before anything else.
void RelayRawFor(IoContext* x, uint64_t limit);

// Returns x to the copy path after RelayRawFor; the result is how many of its `limit` bytes the
// kernel has not moved (kNoRawLimit when there was no limit).
uint64_t EndRawFor(IoContext* x);

// For the worker, before the handler: takes completion c of x's relay wait (x->relayWait is
// not kNone). True when c, rewritten as the read or send the relay posted (bytes moved into
// x->buffer, or 0 bytes and the error), goes to the handler; false when the relay has handled
// it (moved bytes itself, or waits again).
bool TakeRelayWait(IoContext* x, Completion* c);

// Sends x->wsaBuf.len bytes of x->buffer to x's peer (at once; no throttle). Closes x when the
// send cannot be started.
void RelaySendStep(IoContext* x);

// Sends the first n bytes of x->buffer to x's peer after the throttle's pause, if any (the
// pause completes as kTimer; pass it to Relay or call RelaySendStep). For a handler that
// passes on only part of what it read.
void RelayBytes(IoContext* x, uint32_t n);

// Posts the next read of x on its own socket; closes x when that fails. x's buffer goes back to
// the pool: the read completes with a buffer that holds its bytes at the start. A read still
// waiting after timeout_ms (> 0) completes with 0 bytes and ETIMEDOUT.
void RelayReadStep(IoContext* x, uint32_t timeout_ms = 0);

// Adds n bytes read from x's socket to x's connection tally, if it has one. Relaxed: any thread.
inline void CountRead(IoContext* x, uint64_t n) {
  if (x->tally != nullptr) (x->tallyDown ? x->tally->down : x->tally->up).fetch_add(n, std::memory_order_relaxed);
}

// Closes x's sockets and frees x without looking at its partner or the live list; for Stop,
// once no worker runs.
void DiscardContext(IoContext* x);

// Closes x's socket and frees x. If x has a partner, the link is cut first and the partner's
// socket is shut down, so the partner's pending read ends and it closes itself (an idle
// partner is woken instead, and finds itself unpaired). Safe when both contexts of a pair
// close at the same moment.
void CloseContext(IoContext* x);

}  // namespace tw
