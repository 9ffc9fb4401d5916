#pragma once
// The line both programs print for a proxy that could not listen, saying which port and why,
// so a first run as a normal user shows at once that ports below 1024 need root rights and
// which port another program holds. Pure; any thread.
#include <cstdint>
#include <string>

namespace tw {

// "HTTP proxy could not listen on port 808: permission denied (ports below 1024 need root
// rights or CAP_NET_BIND_SERVICE)." `error` is the errno of the failed bind or listen; 0 when
// the listener failed before it tried one.
std::string ListenFailureText(const std::string& proxy, std::int32_t port, int error);

}  // namespace tw
