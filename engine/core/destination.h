#pragma once
// Reaching a destination without blocking a worker. A handler calls ConnectDestination with
// the host text and port the client asked for; the context then receives, on its own
// overlapped, a kResolve completion when the host is a name (pass it to ConnectResolved), and
// finally one kConnect completion: overlapped.error 0 means x->connectSocket is connected and
// ready for Pair (TakeConnectedSocket hands it over); kDestinationRefused means the proxy's
// destination policy refused the resolved address (one activity line names it, and no socket
// was made); any other error means the destination is unreachable.
#include <cstdint>
#include <string_view>

#include "engine/core/io_context.h"

namespace tw {

// overlapped.error of the kConnect completion of a destination the policy refused; never an
// errno.
constexpr int kDestinationRefused = -1;

// Whom a connect serves: a destination a client named is held to the destination policy, a
// server the operator configured (the public-address echo) is not.
enum class ConnectFor { kClient, kOperator };

// False when the host text is empty or too long, or no socket could be made; nothing is
// posted then.
bool ConnectDestination(IoContext* x, std::string_view host, uint16_t port,
                        ConnectFor who = ConnectFor::kClient);

// Continues after the kResolve completion (bytes = the address). False when the name did not
// resolve or no socket could be made; nothing is posted then.
bool ConnectResolved(IoContext* x, uint32_t bytes, ConnectFor who = ConnectFor::kClient);

// Starts the connect to an IPv4 address (network order) on a client's behalf: the policy
// decides first (a refusal completes as above).
bool ConnectAllowed(IoContext* x, uint32_t address, uint16_t port);

// Starts the connect to an IPv4 address (network order) without asking the policy: only for
// peers that are no destination (the FTP client's own data port).
bool ConnectAddress(IoContext* x, uint32_t address, uint16_t port);

// The connected destination socket, which the caller now owns (x->connectSocket is cleared).
SocketHandle TakeConnectedSocket(IoContext* x);

// Pairs x with its connected destination socket (Pair with the two states). nullptr when
// memory is exhausted: the socket and x are then closed and x is gone.
IoContext* PairConnected(IoContext* x, int32_t stateC, int32_t stateD);

// For the handler state that waits after ConnectDestination: takes a kResolve completion
// (starts the connect; onResolved, when given, runs first) or the kConnect completion.
// kConnected: x->connectSocket is connected. kRefused: the policy refused the destination.
// kUnresolved: the name did not resolve (or not within the lookup time limit).
// kUnreachable: no socket could be made, the connect failed or timed out, or the completion
// was not one of these. The caller answers the client in each of these three. Every outcome
// but kPending gives x a buffer again if the wait had returned it; kClosed: there was no
// memory for one, and x is closed.
enum class ConnectProgress { kPending, kConnected, kRefused, kUnresolved, kUnreachable, kClosed };
ConnectProgress ContinueConnect(IoContext* x, uint32_t bytes,
                                void (*onResolved)(IoContext*) = nullptr);

}  // namespace tw
