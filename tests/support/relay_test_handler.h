#pragma once
// A minimal protocol for exercising the engine frame: the client sends one line "host:port\n"
// (after the greeting, if the proxy has one); the proxy connects there, pairs and relays.
// Bytes the client sent after the line are relayed too. A bad line or an unreachable
// destination closes the client connection.
#include <cstdint>

#include "engine/core/io_context.h"

namespace tw::test {

// States of the client context:
//   kAwaitRequest -> greeting sent or nothing sent yet; reading the request line
//   kConnecting   -> name lookup or connect in progress
//   kRelaying     -> paired; the relay runs
enum RelayTestState : int32_t { kAwaitRequest = 1, kConnecting = 2, kRelaying = 3 };

void RelayTestHandler(IoContext* x, uint64_t key, uint32_t bytes);

// The client and destination contexts of the pair made last, for a test that changes a live
// pair (its throttle). Valid while that connection stays open; both nullptr before any pair.
struct RelayTestPair {
  IoContext* client = nullptr;
  IoContext* destination = nullptr;
};
RelayTestPair LastRelayTestPair();

}  // namespace tw::test
