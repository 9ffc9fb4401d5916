#pragma once
// Where a listener reports the bytes of a client connection that has ended, so the program
// that hosts it can sum them per account and day. Called from any worker thread, once per
// connection, after its last relayed byte; an implementation must be cheap (a short lock at
// most) and must not call back into the engine.
#include <cstdint>
#include <string_view>

namespace tw {

class TrafficSink {
 public:
  virtual ~TrafficSink() = default;
  // protocol_id: the proxy (1 HTTP .. 5 SOCKS). user: the login name, empty for a guest,
  // who is then known by client_addr_be (IPv4, network byte order). up: bytes from the
  // client to the destination; down: bytes back to the client.
  virtual void ConnectionEnded(int protocol_id, std::string_view user, uint32_t client_addr_be,
                               uint64_t up, uint64_t down) = 0;
};

}  // namespace tw
