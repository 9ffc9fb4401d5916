#include "engine/policy/address_rules.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/address_text.h"

namespace tw {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

bool ParseDottedAddress(std::string_view text, std::uint32_t* host_order) {
  std::uint32_t network_order = 0;
  if (!ParseIPv4(TrimBlanks(text), &network_order)) return false;
  *host_order = ntohl(network_order);
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
  return PeerAddressOfFd(fd);
}

}  // namespace tw
