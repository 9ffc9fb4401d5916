#pragma once
// The SOCKS proxy's handler: SOCKS 4 and 4a (guest rule only), SOCKS 5 with method selection,
// the user/password sub-negotiation, and CONNECT to IPv4 addresses and names; BIND and UDP
// ASSOCIATE are answered "command not supported". Once connected, the shared relay runs.
//
// Messages may arrive split over reads or joined in one: bytes are kept (context `held`) until
// a whole message is there, at most kSocksMaxMessage, and bytes after a CONNECT request are
// relayed to the destination. A client has the proxy's dialogue time to finish.
//
// States of the client context:
//   kSocksFirst         (1)   -> first message: SOCKS 4/4a request or SOCKS 5 method list
//   kSocksLoginAsked    (11)  -> method reply "user/password" being sent
//   kSocksAwaitLogin    (12)  -> awaiting the user/password packet
//   kSocksOpened        (13)  -> method reply "no authentication" or login success being sent
//   kSocksAwaitRequest  (14)  -> awaiting the SOCKS 5 request
//   kSocks4aAwaitName   (20)  -> SOCKS 4a: the host name comes in a later packet
//   kSocks5AwaitName    (21)  -> SOCKS 5: the domain name comes in a later packet
//   kSocks4Connecting   (31)  -> SOCKS 4/4a: name lookup or connect in progress
//   kSocks5Connecting   (32)  -> SOCKS 5: name lookup or connect in progress
//   kSocksRefused       (100) -> a final refusal being sent; then closed
//   kSocksRelay         (-1)  -> paired; the relay runs
// The destination context is made in kSocksDestination (15) and relays from the start.
#include <cstdint>

#include "engine/core/io_context.h"

namespace tw {

enum SocksState : int32_t {
  kSocksFirst = 1,
  kSocksLoginAsked = 11,
  kSocksAwaitLogin = 12,
  kSocksOpened = 13,
  kSocksAwaitRequest = 14,
  kSocksDestination = 15,
  kSocks4aAwaitName = 20,
  kSocks5AwaitName = 21,
  kSocks4Connecting = 31,
  kSocks5Connecting = 32,
  kSocksRefused = 100,
  kSocksRelay = -1,
};

void SocksHandler(IoContext* x, uint64_t key, uint32_t bytes);

}  // namespace tw
