#pragma once
// The SMTP proxy's handler. The proxy greets the client, answers EHLO/HELO with an offer of
// AUTH LOGIN only, asks for the user name and decodes it: account#server or
// account#server:port (default 25). It then reaches the server, waits for its 220 greeting,
// says EHLO and AUTH LOGIN there itself, answers the server's user name prompt with the
// account, and from then on relays both ways unchanged: the server's password prompt, the
// client's password and the whole mail transaction pass through. There is no proxy login;
// the guest address rule alone decides.
//
// Before the user name the proxy answers what mail programs send: RSET and NOOP ("250"),
// QUIT ("221", then closed), AUTH with another mechanism ("504", and the client may choose
// again), AUTH LOGIN with the user name on the same line, "*" to cancel, and a clear reply with
// the form to use for anything else. A server that refuses its part of the dialogue has its
// reply passed to the client, and both are closed. Lines may arrive split or several in one.
//
// States of the client context:
//   kSmtpReply          (1)   -> the greeting or a reply is being sent; then kSmtpAwaitHello
//   kSmtpAwaitHello     (30)  -> awaiting EHLO or HELO (the guest rule applies to every line)
//   kSmtpAuthReply      (31)  -> "250 AUTH LOGIN" or another reply being sent; then kSmtpAwaitAuth
//   kSmtpAwaitAuth      (32)  -> awaiting AUTH
//   kSmtpPromptSent     (33)  -> the user name prompt being sent; then kSmtpAwaitUser
//   kSmtpAwaitUser      (34)  -> awaiting the Base64 user name
//   kSmtpConnecting     (20)  -> the server's name is looked up or the connect is in progress
//   kSmtpAwaitGreeting  (35)  -> reading the server's greeting on the destination socket
//   kSmtpEhloSent       (36)  -> "EHLO Tarnwick Proxy Server" being sent to the server
//   kSmtpAwaitEhlo      (37)  -> reading the server's EHLO reply
//   kSmtpAuthSent       (38)  -> "AUTH LOGIN" being sent to the server
//   kSmtpAwaitPrompt    (39)  -> reading the server's user name prompt
//   kSmtpClosing        (100) -> a last reply is being sent; then closed
//   kSmtpRelay          (-1)  -> paired; the relay runs (the destination context too)
#include <cstdint>

#include "engine/core/io_context.h"

namespace tw {

enum SmtpState : int32_t {
  kSmtpReply = 1,
  kSmtpConnecting = 20,
  kSmtpAwaitHello = 30,
  kSmtpAuthReply = 31,
  kSmtpAwaitAuth = 32,
  kSmtpPromptSent = 33,
  kSmtpAwaitUser = 34,
  kSmtpAwaitGreeting = 35,
  kSmtpEhloSent = 36,
  kSmtpAwaitEhlo = 37,
  kSmtpAuthSent = 38,
  kSmtpAwaitPrompt = 39,
  kSmtpClosing = 100,
  kSmtpRelay = -1,
};

// Texts the client sees from the proxy itself.
inline constexpr char kSmtpIpNotAllowed[] = "451 ip not allowed.\r\n";
inline constexpr char kSmtpAuthOffer[] = "250 AUTH LOGIN\r\n";
inline constexpr char kSmtpUserPrompt[] = "334 VXNlcm5hbWU6\r\n";
inline constexpr char kSmtpUnknownMechanism[] = "504 Unrecognized authentication type.\r\n";
inline constexpr char kSmtpOk[] = "250 OK\r\n";
inline constexpr char kSmtpBye[] = "221 bye\r\n";
inline constexpr char kSmtpAuthFirst[] =
    "530 authenticate first: AUTH LOGIN as account#server or account#server:port\r\n";
inline constexpr char kSmtpUserForm[] =
    "535 use the user name account#server or account#server:port\r\n";
inline constexpr char kSmtpNotBase64[] = "501 the user name is not valid Base64\r\n";
inline constexpr char kSmtpCancelled[] = "501 authentication cancelled\r\n";
inline constexpr char kSmtpLineTooLong[] = "500 line too long\r\n";
inline constexpr char kSmtpDestinationRefused[] = "554 destination not allowed.\r\n";
// 421: the proxy closes the connection after it.
inline constexpr char kSmtpDestinationUnreachable[] = "421 destination not reachable.\r\n";
// To the real server.
inline constexpr char kSmtpEhlo[] = "EHLO Tarnwick Proxy Server\r\n";
inline constexpr char kSmtpAuthLogin[] = "AUTH LOGIN\r\n";

void SmtpHandler(IoContext* x, uint64_t key, uint32_t bytes);

}  // namespace tw
