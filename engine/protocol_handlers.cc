#include "engine/http_proxy.h"
#include "engine/proxy_server.h"
#include "engine/socks_proxy.h"

namespace tw {

// Protocols register their handler here as they are built.
ProtocolHandler HandlerForProtocol(int32_t protocolId) {
  switch (protocolId) {
    case kProtocolHttp: return &HttpHandler;
    case kProtocolSocks: return &SocksHandler;
    default: return nullptr;
  }
}

}  // namespace tw
