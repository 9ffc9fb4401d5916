#pragma once
// Reaching a destination without blocking a worker. A handler calls ConnectDestination with
// the host text and port the client asked for; the context then receives, on its own
// overlapped, a kResolve completion when the host is a name (pass it to ConnectResolved), and
// finally one kConnect completion: overlapped.error 0 means x->connectSocket is connected and
// ready for Pair (TakeConnectedSocket hands it over); otherwise the destination is unreachable.
#include <cstdint>
#include <string_view>

#include "engine/core/io_context.h"

namespace tw {

// False when the host text is empty or too long, or no socket could be made; nothing is
// posted then.
bool ConnectDestination(IoContext* x, std::string_view host, uint16_t port);

// Continues after the kResolve completion (bytes = the address). False when the name did not
// resolve or no socket could be made; nothing is posted then.
bool ConnectResolved(IoContext* x, uint32_t bytes);

// Starts the connect to an IPv4 address (network order).
bool ConnectAddress(IoContext* x, uint32_t address, uint16_t port);

// The connected destination socket, which the caller now owns (x->connectSocket is cleared).
SocketHandle TakeConnectedSocket(IoContext* x);

// Pairs x with its connected destination socket (Pair with the two states). nullptr when
// memory is exhausted: the socket and x are then closed and x is gone.
IoContext* PairConnected(IoContext* x, int32_t stateC, int32_t stateD);

// For the handler state that waits after ConnectDestination: takes a kResolve completion
// (starts the connect; onResolved, when given, runs first) or the kConnect completion.
// kConnected: x->connectSocket is connected. kFailed: the name did not resolve, the connect
// failed or the completion was not one of these; the caller refuses the client.
enum class ConnectProgress { kPending, kConnected, kFailed };
ConnectProgress ContinueConnect(IoContext* x, uint32_t bytes,
                                void (*onResolved)(IoContext*) = nullptr);

}  // namespace tw
