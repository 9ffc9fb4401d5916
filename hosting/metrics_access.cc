#include "hosting/metrics_access.h"

#include <arpa/inet.h>

#include <cstdint>

#include "engine/policy/authorization.h"
#include "platform/address_text.h"
#include "platform/ascii_text.h"

namespace tw {

namespace {

bool IsLoopbackAddress(std::string_view dotted) {
  std::uint32_t address = 0;
  return ParseIPv4(dotted, &address) && (ntohl(address) >> 24) == 127;
}

// The host part of a Host header names this machine's loopback.
bool HostIsLoopback(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    std::size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    std::string_view rest = host.substr(close + 1);
    return host.substr(1, close - 1) == "::1" && (rest.empty() || rest.front() == ':');
  }
  std::string_view name = host.substr(0, host.rfind(':'));
  return EqualsNoCase(name, "localhost") || IsLoopbackAddress(name);
}

bool BearerMatches(std::string_view authorization, std::string_view token) {
  constexpr std::string_view kScheme = "Bearer ";
  if (token.empty() || !StartsWithNoCase(authorization, kScheme)) return false;
  std::string_view given = authorization.substr(kScheme.size());
  while (!given.empty() && given.front() == ' ') given.remove_prefix(1);
  while (!given.empty() && (given.back() == ' ' || given.back() == '\t')) given.remove_suffix(1);
  return SecretsEqual(given, token);
}

}  // namespace

bool MetricsAccessAllowed(std::string_view boundAddress, std::string_view host,
                          std::string_view authorization, std::string_view token) {
  if (BearerMatches(authorization, token)) return true;
  return IsLoopbackAddress(boundAddress) && HostIsLoopback(host);
}

}  // namespace tw
