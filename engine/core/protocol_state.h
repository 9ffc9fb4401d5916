#pragma once
// What a protocol handler keeps in a context besides the buffer: one small record per protocol,
// free of behaviour. A context carries the record of its own protocol only (IoContext::record,
// made on first use by RecordOf); every text in a record is a bounded field.
#include <cstdint>
#include <string>
#include <variant>

#include "platform/bounded_text.h"

namespace tw {

struct IoContext;

// A user, account or host name as the dialogues keep it: at most 255 bytes.
using NameText = BoundedText<256>;

// An HTTP message body being passed on; http_body_framing.h starts and advances it.
struct HttpBodyState {
  uint8_t kind = 0;         // HttpBodyKind: none, Content-Length, chunked, until close
  uint8_t step = 0;         // chunked: which part of the chunk framing the next byte is in
  uint64_t remaining = 0;   // body bytes (Content-Length) or chunk data bytes still to come
  uint32_t lineBytes = 0;   // chunked: bytes of the size line or trailer section so far
  bool sizeDigits = false;  // chunked: the size line has a hex digit
};

// An HTTP response being passed on to the client; http_response_framing.h advances it.
struct HttpResponseState {
  uint8_t phase = 0;         // status line, header lines, body, ended, switched protocols
  bool headRequest = false;  // the request was HEAD: no final response has a body
  bool lineCut = false;      // the head line being read is longer than `line` keeps
  uint32_t lineLength = 0;   // bytes kept in `line`
  char line[128] = {};       // the start of the head line being read
  uint32_t headBytes = 0;    // bytes of the current head so far (bounded)
  uint16_t status = 0;       // the status code of the head being read
  bool lengthSeen = false;   // a Content-Length line was read
  bool chunkedLast = false;  // the last Transfer-Encoding coding read is "chunked"
  bool codingSeen = false;   // a Transfer-Encoding line was read
  uint64_t length = 0;       // the Content-Length value
  bool close = false;        // HTTP/1.0, or Connection: close: the server ends the connection
  HttpBodyState body;
};

// HTTP context (http_proxy.h): a client context, or the destination context of a request.
struct HttpRecord {
  bool tunnel = false;                // kHttpConnecting: the request was CONNECT
  const std::string* page = nullptr;  // kHttpPageHeader: the refusal page that follows (the
                                      // server's copy, which outlives the connection)
  uint64_t fetchId = 0;               // kHttpDirectoryPage: the gateway fetch whose page is sent

  // Client context of a request sent on.
  uint32_t checked = 0;      // kHttpRequest: bytes of complete head lines already checked
  std::string head;          // the rewritten head while it is sent (at most one buffer plus a
                             // Host line); emptied once sent
  bool headRequest = false;  // the request is HEAD (its response has no body)
  bool closeAfter = false;   // the request asked for its connection to end with the response
  HttpBodyState body;        // the request body being sent on
  // Set by the destination context under the pair lock.
  bool responseEnded = false;   // the response to the request has reached the client whole
  bool responseCloses = false;  // that response told the client the connection ends
  bool upgraded = false;        // the response switched protocols: the pair is a tunnel now
  // The kept destination closed before a byte of the response came back: the request may go
  // again on a new connection (set by the destination context under the pair lock).
  bool retry = false;
  // Under the pair lock: the request's last bytes have been handed to the destination socket,
  // so a response that ends leaves the connection fit for the next request.
  bool requestWhole = false;
  std::string destHost;  // the destination of the request (and of a kept connection)
  uint16_t destPort = 0;
  bool reused = false;     // the request goes on a kept destination connection
  bool retryable = false;  // idempotent and without body: may be sent again once

  // Destination context of a request: the response being passed on.
  HttpResponseState response;
  bool responseBegun = false;  // a byte of the response has come back
  bool trailing = false;       // the server sent bytes beyond the response's end
};

// The FTP control relay's word: the send in progress and what the held bytes are.
struct FtpControlWord {
  bool toOwnSocket = false;  // the send goes out on the context's own socket
  bool fromLine = false;     // the send's bytes are the record's `line`, not held bytes
  bool midLine = false;      // the held bytes continue a line already passed on
  bool lookupDone = false;   // `publicAddress` holds the result of a public-address lookup
  uint32_t sendLength = 0;   // bytes of the send in progress
};

// FTP control context, client side or server side (ftp_proxy.h).
struct FtpRecord {
  // The client side's dialogue with the proxy.
  bool loggedIn = false;  // the client has logged in to the proxy
  NameText loginName;     // the proxy login's name, checked at PASS
  bool userPath = false;  // kFtpConnecting: USER user@host (the server side logs in), not SITE/OPEN
  // The user name for the real server's USER line: the client side's until the pair is made,
  // then the server side's until the server's greeting is whole.
  NameText serverUser;

  FtpControlWord control;         // the control relay's send and held bytes
  NameText line;                  // a line of the proxy's own being sent (reply, rewrite, USER)
  BoundedText<16> publicAddress;  // dotted address found by the lookup; "" when none
};

// The FTP proxy's public-address lookup context (ftp_public_address.h).
struct FtpEchoRecord {
  IoContext* control = nullptr;  // the control context that waits for the address
  NameText host;                 // the echo server's name, for the request's Host line
};

// SOCKS client context (socks_proxy.h).
struct SocksRecord {
  bool nameInLaterPacket = false;  // the name looked up came in a packet of its own
  NameText name;                   // the SOCKS 4a or 5 name looked up, for the log
  NameText user;                   // the SOCKS 5 login name, for the log
};

// POP3 or SMTP client context (mail_dialogue.h).
struct MailRecord {
  uint32_t kept = 0;  // client bytes kept for the server at the start of the buffer
  NameText account;   // the account name the server is given
};

using ProtocolRecord =
    std::variant<std::monostate, HttpRecord, FtpRecord, FtpEchoRecord, SocksRecord, MailRecord>;

}  // namespace tw
