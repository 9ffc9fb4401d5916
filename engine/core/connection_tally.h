#pragma once
// The record of one client connection that the console's Online Users page, the traffic book
// and the monitoring figures read: who (user or guest address), where to, since when, and the
// bytes moved each way so far.
//
// A tally is made with the client's context and shared by every context that moves bytes for
// that client (its destination contexts, one after the other on a kept-alive HTTP client, and
// an FTP control connection's data channels). The relay adds to `up` and `down` with relaxed
// atomics on the worker that moved the bytes and takes no lock for it; everything else in the
// record is guarded by the proxy's list lock (ProxyServer::liveMutex_), which is also where
// the tally's reference count changes, so a tally is freed exactly when its last context
// leaves the proxy's live list and its bytes move to the proxy's totals at that same moment.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace tw {

struct IoContext;

// Longest destination text kept ("host:port"); a longer one is cut.
constexpr std::size_t kTallyDestinationMax = 255;

struct ConnectionTally {
  // Set when made, then fixed.
  std::uint64_t id = 0;           // unique in the process, never 0
  std::int32_t proxy = 0;         // 1 HTTP .. 5 SOCKS
  std::uint32_t clientAddr = 0;   // IPv4, network order
  std::uint16_t clientPort = 0;   // host order
  std::int64_t startedUnixMs = 0;  // wall clock
  std::uint64_t startedMonoMs = 0;

  // Bytes read from the client (up) and from its destinations (down). Relaxed atomics.
  std::atomic<std::uint64_t> up{0};
  std::atomic<std::uint64_t> down{0};

  // Under the proxy's list lock.
  std::uint32_t refs = 0;
  std::string user;         // empty: a guest, or not logged in yet
  std::string destination;  // "host:port" of the current or last destination; empty: none yet
  std::uint64_t reportedUp = 0, reportedDown = 0;  // what the traffic sink already has
  std::uint64_t sampleUp = 0, sampleDown = 0, sampleMs = 0;  // for the rate
  std::uint64_t rateUp = 0, rateDown = 0;                    // bytes per second
  ConnectionTally* next = nullptr;  // the proxy's list of live tallies
  ConnectionTally* prev = nullptr;
};

// What a reader gets for one live client connection: a copy, safe to keep.
struct ConnectionView {
  std::uint64_t id = 0;
  std::int32_t proxy = 0;
  std::uint32_t clientAddr = 0;  // network order
  std::uint16_t clientPort = 0;
  std::string user;
  std::string destination;
  std::int64_t startedUnixMs = 0;
  std::uint64_t up = 0, down = 0;
  std::uint64_t rateUp = 0, rateDown = 0;  // bytes per second over the last second or more
};

// A proxy's byte totals since the program started, each direction, and its live client
// connections now. The totals never go down.
struct ProxyTotals {
  std::uint64_t up = 0;
  std::uint64_t down = 0;
  std::uint64_t live = 0;
};

// For a protocol handler on its worker: the user x's client is now known as (empty: guest).
// A change of user first books the bytes so far under the previous one, so a kept-alive HTTP
// client that logs in as someone else per request has each request's bytes counted under its
// own user: `carried` is how many of the bytes already read from the client belong to the new
// user (the request that named it). Takes the list lock; nothing for a context without a tally.
void NoteUser(IoContext* x, std::string_view user, uint64_t carried = 0);
// `carried` for a login at the start of a connection: every byte so far was its dialogue.
constexpr uint64_t kCarryAll = UINT64_MAX;
// The destination x's client is now going to, as the client named it.
void NoteDestination(IoContext* x, std::string_view host, uint16_t port);

}  // namespace tw
