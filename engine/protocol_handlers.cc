#include "engine/proxy_server.h"

namespace tw {

// Protocols register their handler here as they are built.
ProtocolHandler HandlerForProtocol(int32_t protocolId) {
  switch (protocolId) {
    default: return nullptr;
  }
}

}  // namespace tw
