#pragma once
// What the POP3 and SMTP proxies share before their relay starts: one client context talks to
// the client, then, over its destination socket (`connectSocket`, not yet paired), to the real
// mail server, and only pairs once the server has taken the user name. So the dialogue never
// touches a second context, one close releases both sockets, and the client's time limit
// (`deadlineMs`) covers the whole dialogue, the server's part included.
//
// Layout of the client context's buffer during the dialogue:
//   [0, held)                       client bytes not yet handled (at most kMailClientHeld)
//   [kMailSendOffset, 8192)         a reply to the client or a command to the server being sent
// Once the proxy talks to the server (the client is not read then):
//   [0, kept)                       client bytes that came behind the user name, kept for the
//                                   server (MailRecord::kept)
//   [kept, kept + held)             server bytes not yet handled
//
// Every function here leaves exactly one operation posted on x, or x closed.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/dialogue.h"
#include "engine/core/io_context.h"
#include "engine/mail/mail_messages.h"

namespace tw {

constexpr uint32_t kMailSendOffset = kIoBufferSize - 1024;
constexpr uint32_t kMailClientHeld = 4096;
static_assert(kMailClientHeld + kMailMaxLine <= kMailSendOffset, "server lines need room too");
static_assert(kMailMaxLine + 2 <= kIoBufferSize - kMailSendOffset, "a forwarded line must fit");

// Sends text (at most 1024 bytes) to the client, or to the server when to_server, after
// setting x->state to next_state; the send's completion comes back in that state.
void MailSend(IoContext* x, std::string_view text, int32_t next_state, bool to_server = false);

// Reads more client bytes behind the held ones; closes x when the dialogue's time is up or
// the client has sent kMailClientHeld bytes without being answered.
void MailReadClient(IoContext* x);
// Reads more server bytes behind the held ones, within the dialogue's time.
void MailReadServer(IoContext* x);

// True with the first complete line of the held client bytes, removed from them. False when
// there is none yet (x reads on, as MailReadClient), or when kMailMaxLine bytes have come
// without a line end (x sends too_long in closing_state).
bool NextClientLine(IoContext* x, std::string* line, std::string_view too_long,
                    int32_t closing_state);
// The same for the held server bytes (MailReadServer); a server line too long closes x.
bool NextServerLine(IoContext* x, std::string* line);

// Keeps the account name (MailRecord::account) and starts reaching target.host on target.port in
// connecting_state: a kResolve and then a kConnect completion follow. The client bytes still
// held are kept for the server. Closes x when the host cannot be tried.
void MailConnect(IoContext* x, const MailTarget& target, int32_t connecting_state);

// The server took the dialogue: pairs x with the destination socket (both in relay_state),
// starts the destination's reads and sends first_line, followed by the client bytes kept
// for the server, from x; the completion of that send starts the client's reads.
void MailStartRelay(IoContext* x, std::string_view first_line, int32_t relay_state);

// The server refused: its reply line reaches the client, and then both are closed. The line
// is sent in closing_state, whose send completion must close x.
void MailPassRefusal(IoContext* x, std::string_view line, int32_t closing_state);

// What a mail protocol's handler hands to the shared entry, MailHandler.
struct MailProtocol {
  int32_t connecting;     // the state given to MailConnect
  int32_t awaitGreeting;  // reads the server's greeting once connected
  int32_t relay;          // both contexts once paired
  // A send of the dialogue completed (bytes > 0), in the state it was posted with.
  void (*onSent)(IoContext* x);
  // A read of the dialogue added bytes to x->held, in the state it was posted with.
  void (*onRead)(IoContext* x);
  // The reply to a destination the policy refused, sent in `closing`, whose send completion
  // must close x.
  const char* destinationRefused;
  // The reply, sent the same way, to a server whose name did not resolve (or not in time) or
  // that could not be connected.
  const char* destinationUnreachable;
  int32_t closing;
};

// The handler of a mail protocol: the relay once paired, the connect while connecting (on a
// connect x reads the server's greeting; an unreachable server is told destinationUnreachable,
// a refused one destinationRefused), and otherwise the dialogue's sends and reads. A
// send or read that ends with 0 bytes (end of stream, a failure, the dialogue's time up) closes x.
void MailHandler(IoContext* x, uint64_t key, uint32_t bytes, const MailProtocol& protocol);

}  // namespace tw
