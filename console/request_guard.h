#pragma once
// Who may use the console, decided per request before any route runs:
//   - the Host header must name the console (127.0.0.1, localhost or [::1] with its port, the
//     bound address, or with 0.0.0.0 any address of this machine), so a page of another site
//     that rebinds its DNS name to 127.0.0.1 is refused;
//   - the caller shows the per-start token, either once in the login URL (which sets an
//     HttpOnly SameSite=Strict cookie named with the port, so two consoles keep their
//     sessions apart) or as "Authorization: Bearer TOKEN" from a script;
//   - a cookie-authenticated request that may change something (any method but GET and HEAD)
//     carries the CSRF token in the X-CSRF-Token header. A bearer caller needs none: no
//     browser sends that header by itself.
// Pure functions of the request's texts; any thread.
#include <string>
#include <string_view>
#include <vector>

namespace tw {

struct ConsoleIdentity {
  std::string boundAddress;                   // dotted IPv4 the console listens on
  int port = 0;                               // the port it really listens on
  std::string token;                          // login and bearer secret
  std::string csrf;                           // what pages send back on changes
  std::vector<std::string> machineAddresses;  // dotted; consulted when bound to 0.0.0.0
};

enum class Access {
  kAllowed,
  kBadHost,         // 403: the Host header names another site
  kNoCredentials,   // 401: neither a valid cookie nor a valid bearer token
  kBadCsrf,         // 403: a cookie-authenticated change without the right CSRF token
};

struct RequestFacts {
  std::string_view method;
  std::string_view host;           // Host header
  std::string_view authorization;  // Authorization header
  std::string_view cookie;         // Cookie header
  std::string_view csrf;           // X-CSRF-Token header
};

constexpr char kCsrfHeader[] = "X-CSRF-Token";

// "tarnwick_session_<port>".
std::string SessionCookieName(int port);
// The Set-Cookie value that logs a browser in.
std::string SessionCookie(const ConsoleIdentity& id);
// The value of cookie `name` in a Cookie header; empty when absent.
std::string_view CookieValue(std::string_view cookie_header, std::string_view name);

bool HostAllowed(std::string_view host, const ConsoleIdentity& id);
// The host check and then the credentials; the login URL is checked apart (LoginTokenValid).
Access CheckAccess(const RequestFacts& request, const ConsoleIdentity& id);
bool LoginTokenValid(std::string_view token, const ConsoleIdentity& id);

}  // namespace tw
