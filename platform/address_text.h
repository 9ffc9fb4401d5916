#pragma once
// Dotted IPv4 address texts. Parsing is strict: exactly four decimal parts of 0-255, no
// blanks, no signs, nothing after the last part; anything else is not an address.
#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tw {

// Parses "a.b.c.d" into *out in network byte order. False (and *out untouched) when the text
// is not exactly a dotted IPv4 address.
bool ParseIPv4(std::string_view text, uint32_t* out);

// ParseIPv4 for an address to bind to: only the text AddressText would write for it (no
// leading zeros), since the socket calls that bind an address read "010" as octal. False (and
// *out untouched) otherwise, also for a text with anything, even a NUL, after the address.
bool ParseCanonicalIPv4(std::string_view text, uint32_t* out);

// Parses "a.b.c.d:port" (port 0 to 65535, 0 meaning any free one) into the address in
// network byte order and the port. False (and both untouched) for anything else.
bool ParseIPv4Endpoint(std::string_view text, uint32_t* address, uint16_t* port);

// The dotted text of an address given in network byte order ("10.0.0.1"); never empty.
std::string AddressText(uint32_t network_order);

// The dotted address of the peer of a connected socket descriptor (an IPv4-mapped IPv6 peer
// gives its IPv4 text); "" when unknown.
std::string PeerAddressOfFd(int fd);

// The dotted local address a connected socket descriptor is bound to; "" when unknown.
std::string LocalAddressOfFd(int fd);

// A sockaddr_in for an address in network order and a port in host order.
sockaddr_in MakeSockAddr(uint32_t network_order, uint16_t port);

}  // namespace tw
