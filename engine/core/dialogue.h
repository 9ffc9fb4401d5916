#pragma once
// What every protocol handler does the same way while it talks with a client (and, for the
// mail proxies, with the server) before its relay starts: replies that lead to the next state,
// reads that add to a held message within the dialogue's time, and the wait for the
// destination's connect.
//
// The rule of io_context.h holds for each function here: one that posts an operation leaves
// x alone afterwards, and one that fails closes x (it says which). A handler calls at most one
// of them as its last step.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/io_context.h"

namespace tw {

// The dotted address of the peer of socket s, one of x's proxy ("" when unknown).
std::string PeerAddress(IoContext* x, SocketHandle s);
// The dotted address of x's client (the peer of x->socket).
std::string ClientAddress(IoContext* x);

// Whether x's client is admitted as a guest: from a local network (unless the proxy admits
// guests from anywhere) and through the guest address rule. A client refused for its network
// is written to the activity log.
bool GuestAdmitted(IoContext* x);

// The proxy's failed-login limit for x's client: true while its address may not try to log
// in (the handler then sends its login refusal without checking the account); counted as a
// refusal.
bool LoginBlocked(IoContext* x, const std::string& client);
// The outcome of a login checked against the accounts on a proxy that requires one, with the
// refusal reason the account check set (kRefusedNoAccount ...): counts it, and hands a wrong
// user name or password to the failed-login limit (the failure that starts a block is written
// to the activity log).
void LoginChecked(IoContext* x, const std::string& client, bool ok, int refusalReason);

// Sets x->state to next_state and sends n bytes at data on socket `to`; the send's completion
// comes back in that state. The bytes must stay as they are until then: x's own buffer or
// record, or text that outlives the connection. Closes x when the send cannot start.
void SendThenState(IoContext* x, SocketHandle to, const char* data, uint32_t n, int32_t next_state);

// SendThenState of a copy of text placed at `offset` in x's buffer; the bytes before offset
// stay as they are. Closes x when the text does not fit behind offset.
void SendCopyThenState(IoContext* x, SocketHandle to, uint32_t offset, std::string_view text,
                       int32_t next_state);

// Reads more of a message kept in x's buffer: from socket `from` into [start, limit) of the
// buffer, bounded by the dialogue's deadline (x->deadlineMs; the read then completes with 0
// bytes). Closes x and returns false when there is no room (start >= limit), the deadline has
// passed or the read cannot start.
bool ReadMore(IoContext* x, SocketHandle from, uint32_t start, uint32_t limit);

// ReadMore from x's own socket behind the x->held bytes kept at the start of the buffer.
bool DialogueReadStep(IoContext* x);

// Takes the completion of a read x posted on its own socket during its dialogue: adds the
// bytes to x->held and returns true. Closes x and returns false at end of stream, on a failed
// read or once the dialogue's time is up (these complete with 0 bytes), and for any other
// completion.
bool TakeDialogueRead(IoContext* x, uint64_t key, uint32_t bytes);

// A reply of the dialogue has been sent: x goes to next_state and handles the bytes the client
// sent behind the message answered (process), or reads on when none are held.
void ContinueDialogue(IoContext* x, int32_t next_state, void (*process)(IoContext*));

// What x's buffer holds while its destination is reached: only the x->held bytes (the wait
// returns the buffer to the pool when there are none), or bytes kept outside x->held.
enum class ConnectBuffer { kHeldOnly, kKeep };

// Starts reaching host:port for x's client: x->state becomes connecting_state, whose
// completions go to ConnectStep. A host that cannot be tried at all (empty, too long, no
// socket) completes there as unreachable, so every failure is answered in that one place.
// host may lie in x's buffer.
void StartDestinationConnect(IoContext* x, std::string_view host, uint16_t port,
                             int32_t connecting_state, ConnectBuffer buffer);

// Why a client's destination was not reached, for the reply the client gets.
enum class ConnectFailure {
  kRefused,      // the destination policy refused the address
  kUnresolved,   // the name did not resolve, or not within the lookup time limit
  kUnreachable,  // no socket, or the connect failed or timed out
};

// For the state that waits after StartDestinationConnect (see ContinueConnect, which runs
// onResolved once a name has resolved): true once x->connectSocket is connected, and the
// caller goes on. False while the connect is pending, and when the destination was not
// reached: then the failed destination socket is already closed and onFailed answers the
// client in the protocol's words (it may go on with the dialogue or close x). A client is
// never left without a reply.
bool ConnectStep(IoContext* x, uint32_t bytes, void (*onResolved)(IoContext*),
                 void (*onFailed)(IoContext*, ConnectFailure));

}  // namespace tw
