#pragma once
// The protocol table: which handler, greeting and worker count each proxy id runs with. The
// only place that knows every protocol; the owner of the listeners asks it once per listener.
#include <cstdint>

#include "config/protocols.h"
#include "engine/core/proxy_server.h"

namespace tw {

// The parts of a protocol id (1-5); an unknown id gets no handler, so its listener never
// starts.
ProxyProtocol ProtocolFor(int32_t protocolId);

}  // namespace tw
