#pragma once
// The FTP proxy's handler. A client greeted by the proxy may log in to it (USER / "331 need
// password." / PASS) and names the real server in its user name (USER user@host[:port]) or
// with SITE or OPEN. The proxy connects to that server through the completion port, logs the
// client in there with the user name (USER path, after the server's whole greeting) or relays
// the server's greeting (SITE/OPEN), and from then on relays the control connection line by
// line, rewriting every passive reply ("227 ") and PORT command so that data connections run
// through the proxy's own data listeners (ftp_data_channels.h).
//
// Lines may arrive split over reads or joined in one: a line the proxy has to look at is held
// until its end has arrived (at most kFtpMaxLine); every other byte passes on at once.
// Commands that would carry data or control past the rewriting (EPSV, EPRT, LPSV, LPRT, AUTH)
// are answered by the proxy with 502; a PORT command naming another host than the client
// itself is refused with 501 and logged; when no data listener can be set up the client gets
// 425. Before a server is reached, other commands get the usual FTP answers (QUIT 221, NOOP
// 200, anything else 530) so real clients carry on to USER.
//
// States of the client context before the relay:
//   kFtpReplySent      (1)    -> a reply of the proxy (greeting, answer) is being sent
//   kFtpAwaitCommand   (30)   -> awaiting USER, SITE, OPEN (or PASS after a refused login)
//   kFtpPasswordAsked  (31)   -> "331 need password." is being sent
//   kFtpAwaitPassword  (32)   -> awaiting PASS
//   kFtpConnecting     (33)   -> the real server's name lookup or connect is in progress
//   kFtpAwaitGreeting  (34)   -> paired; no read until the server side has seen the greeting
//   kFtpClosing        (100)  -> a final reply is being sent; then closed
// Server side of the USER path:
//   kFtpServerGreeting (40)   -> awaiting the real server's whole greeting
// Both sides, relaying:
//   kFtpControl        (-1)   -> control relay with rewriting
// Data connections (ftp_data_channels.h):
//   kFtpDataConnecting (-101) -> accepted; the connect to the real data address is running
//   kFtpData           (-100) -> paired; the shared relay runs
// Public-address lookup (ftp_public_address.h), a context of its own:
//   kFtpEchoConnecting (50), kFtpEchoSending (51), kFtpEchoReading (52)
#include <cstdint>

#include "engine/core/io_context.h"

namespace tw {

enum FtpState : int32_t {
  kFtpReplySent = 1,
  kFtpAwaitCommand = 30,
  kFtpPasswordAsked = 31,
  kFtpAwaitPassword = 32,
  kFtpConnecting = 33,
  kFtpAwaitGreeting = 34,
  kFtpServerGreeting = 40,
  kFtpEchoConnecting = 50,
  kFtpEchoSending = 51,
  kFtpEchoReading = 52,
  kFtpClosing = 100,
  kFtpControl = -1,
  kFtpData = -100,
  kFtpDataConnecting = -101,
};

void FtpHandler(IoContext* x, uint64_t key, uint32_t bytes);

// Continues control context x after the public-address lookup it started has ended; its
// record's publicAddress then holds the address found, or "" when none.
void ResumeAfterAddressLookup(IoContext* x);

}  // namespace tw
