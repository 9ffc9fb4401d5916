#include "hosting/listen_failure.h"

#include <cerrno>
#include <cstring>

namespace tw {

namespace {

std::string Reason(std::int32_t port, int error) {
  switch (error) {
    case 0:
      return "the listener could not be set up";
    case EACCES:
    case EPERM:
      if (port > 0 && port < 1024) {
        return "permission denied (ports below 1024 need root rights or CAP_NET_BIND_SERVICE)";
      }
      return "permission denied";
    case EADDRINUSE:
      return "address in use (another program listens on this port)";
    case EADDRNOTAVAIL:
      return "the listen address is not an address of this machine";
    default: {
      std::string text = std::strerror(error);
      if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
      return text;
    }
  }
}

}  // namespace

std::string ListenFailureText(const std::string& proxy, std::int32_t port, int error) {
  return proxy + " proxy could not listen on port " + std::to_string(port) + ": " +
         Reason(port, error) + ".";
}

}  // namespace tw
