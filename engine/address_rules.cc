#include "engine/address_rules.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace tw {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

bool ParseDottedAddress(std::string_view text, std::uint32_t* host_order) {
  text = TrimBlanks(text);
  std::uint32_t value = 0;
  int parts = 0;
  std::size_t pos = 0;
  while (parts < 4) {
    std::size_t digits = 0;
    std::uint32_t part = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      part = part * 10 + static_cast<std::uint32_t>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || digits > 3 || part > 255) return false;
    value = (value << 8) | part;
    ++parts;
    if (parts < 4) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
  }
  if (pos != text.size()) return false;
  *host_order = value;
  return true;
}

bool IpInRange(std::string_view low, std::string_view high, std::string_view address) {
  std::uint32_t lo = 0, hi = 0, a = 0;
  if (!ParseDottedAddress(low, &lo) || !ParseDottedAddress(high, &hi) ||
      !ParseDottedAddress(address, &a)) {
    return false;
  }
  if (lo > hi) std::swap(lo, hi);
  return lo <= a && a <= hi;
}

bool AddressRulePasses(std::string_view rule, std::string_view client_address) {
  if (rule.empty()) return false;
  std::size_t dash = rule.find('-');
  if (dash != std::string_view::npos && dash > 0) {
    return IpInRange(rule.substr(0, dash), rule.substr(dash + 1), client_address);
  }
  return rule == client_address;
}

std::string PeerAddressText(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) == -1) return "";
  char text[INET_ADDRSTRLEN] = {};
  if (ss.ss_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
    if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) == nullptr) return "";
    return text;
  }
  if (ss.ss_family == AF_INET6) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&ss);
    if (!IN6_IS_ADDR_V4MAPPED(&sin6->sin6_addr)) return "";
    in_addr v4{};
    std::memcpy(&v4, sin6->sin6_addr.s6_addr + 12, sizeof v4);
    if (::inet_ntop(AF_INET, &v4, text, sizeof text) == nullptr) return "";
    return text;
  }
  return "";
}

}  // namespace tw
