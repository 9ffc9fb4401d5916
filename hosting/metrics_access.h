#pragma once
// Who may read the monitoring figures (the console's /metrics and kestrane's metrics
// listener), decided per request from the address the endpoint is bound to, the request's Host
// and Authorization headers and the configured [Server] metrics_token:
//   - "Authorization: Bearer <metrics_token>" is always enough (the scheme in any letter
//     case); an empty configured token matches nothing, and the comparison takes the same
//     time wherever the texts differ;
//   - without it, only an endpoint bound to a loopback address (127.0.0.0/8) answers, and
//     only a request whose Host names loopback (127.x.x.x, "localhost" or [::1], any port):
//     a web page that rebinds its own DNS name to 127.0.0.1 still gets nothing.
// A refused request gets 401 with no further detail. Pure; any thread.
#include <string_view>

namespace tw {

// The option.ini key of the secret: see setting::kMetricsToken.
bool MetricsAccessAllowed(std::string_view boundAddress, std::string_view host,
                          std::string_view authorization, std::string_view token);

}  // namespace tw
