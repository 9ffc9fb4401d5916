#include "console/request_guard.h"

#include "console/console_token.h"
#include "platform/ascii_text.h"

namespace tw {

namespace {

bool IsReadOnlyMethod(std::string_view method) {
  return method == "GET" || method == "HEAD";
}

}  // namespace

std::string SessionCookieName(int port) {
  return "tarnwick_session_" + std::to_string(port);
}

std::string SessionCookie(const ConsoleIdentity& id) {
  return SessionCookieName(id.port) + "=" + id.token + "; Path=/; HttpOnly; SameSite=Strict";
}

std::string_view CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    std::size_t end = header.find(';');
    std::string_view pair = header.substr(0, end);
    header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == name) return pair.substr(eq + 1);
  }
  return {};
}

bool HostAllowed(std::string_view host, const ConsoleIdentity& id) {
  std::string port = ":" + std::to_string(id.port);
  if (host.size() <= port.size() || host.substr(host.size() - port.size()) != port) return false;
  std::string_view name = host.substr(0, host.size() - port.size());
  if (name == "127.0.0.1" || EqualsNoCase(name, "localhost") || name == "[::1]") return true;
  if (id.boundAddress != "0.0.0.0") return name == id.boundAddress;
  for (const std::string& address : id.machineAddresses) {
    if (name == address) return true;
  }
  return false;
}

bool LoginTokenValid(std::string_view token, const ConsoleIdentity& id) {
  return !id.token.empty() && SameSecret(token, id.token);
}

Access CheckAccess(const RequestFacts& request, const ConsoleIdentity& id) {
  if (!HostAllowed(request.host, id)) return Access::kBadHost;
  constexpr std::string_view kBearer = "Bearer ";
  if (StartsWithNoCase(request.authorization, kBearer)) {
    return LoginTokenValid(request.authorization.substr(kBearer.size()), id)
               ? Access::kAllowed
               : Access::kNoCredentials;
  }
  std::string_view session = CookieValue(request.cookie, SessionCookieName(id.port));
  if (!LoginTokenValid(session, id)) return Access::kNoCredentials;
  if (IsReadOnlyMethod(request.method)) return Access::kAllowed;
  return !id.csrf.empty() && SameSecret(request.csrf, id.csrf) ? Access::kAllowed
                                                               : Access::kBadCsrf;
}

}  // namespace tw
