#include "platform/address_text.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/ascii_text.h"

namespace tw {

bool ParseIPv4(std::string_view text, uint32_t* out) {
  uint32_t value = 0;
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    uint32_t part = 0;
    int digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      part = part * 10 + static_cast<uint32_t>(text[i] - '0');
      if (++digits > 3 || part > 255) return false;
      ++i;
    }
    value = (value << 8) | part;
    ++parts;
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  *out = htonl(value);
  return true;
}

bool ParseCanonicalIPv4(std::string_view text, uint32_t* out) {
  uint32_t parsed = 0;
  if (!ParseIPv4(text, &parsed) || AddressText(parsed) != text) return false;
  *out = parsed;
  return true;
}

bool ParseIPv4Endpoint(std::string_view text, uint32_t* address, uint16_t* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view port_text = text.substr(colon + 1);
  uint32_t parsed = 0;
  uint16_t value = 0;
  if (!ParseIPv4(text.substr(0, colon), &parsed)) return false;
  if (port_text != "0" && !ParsePortText(port_text, &value)) return false;
  *address = parsed;
  *port = value;
  return true;
}

std::string AddressText(uint32_t network_order) {
  // Written by hand: every connection turns an address or two into text for its checks, and
  // the formatted-print path behind inet_ntop costs several times this.
  uint32_t host = ntohl(network_order);
  char buf[INET_ADDRSTRLEN];
  size_t n = 0;
  for (int shift = 24; shift >= 0; shift -= 8) {
    uint32_t part = (host >> shift) & 0xff;
    if (part >= 100) buf[n++] = static_cast<char>('0' + part / 100);
    if (part >= 10) buf[n++] = static_cast<char>('0' + part / 10 % 10);
    buf[n++] = static_cast<char>('0' + part % 10);
    if (shift > 0) buf[n++] = '.';
  }
  return std::string(buf, n);
}

// The dotted IPv4 text of an address; an IPv4-mapped IPv6 address gives its IPv4 part, any
// other address "".
static std::string SockAddrText(const sockaddr_storage& ss) {
  if (ss.ss_family == AF_INET) {
    return AddressText(reinterpret_cast<const sockaddr_in&>(ss).sin_addr.s_addr);
  }
  if (ss.ss_family == AF_INET6) {
    const auto& sin6 = reinterpret_cast<const sockaddr_in6&>(ss);
    if (!IN6_IS_ADDR_V4MAPPED(&sin6.sin6_addr)) return std::string();
    uint32_t v4;
    std::memcpy(&v4, sin6.sin6_addr.s6_addr + 12, sizeof v4);
    return AddressText(v4);
  }
  return std::string();
}

std::string PeerAddressOfFd(int fd) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  std::memset(&ss, 0, sizeof ss);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) == -1) return std::string();
  return SockAddrText(ss);
}

std::string LocalAddressOfFd(int fd) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  std::memset(&ss, 0, sizeof ss);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == -1) return std::string();
  return SockAddrText(ss);
}

sockaddr_in MakeSockAddr(uint32_t network_order, uint16_t port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = network_order;
  return sa;
}

}  // namespace tw
