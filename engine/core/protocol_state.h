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

// HTTP client context (http_proxy.h).
struct HttpRecord {
  bool tunnel = false;                // kHttpConnecting: the request was CONNECT
  const std::string* page = nullptr;  // kHttpPageHeader: the refusal page that follows (the
                                      // server's copy, which outlives the connection)
  uint64_t fetchId = 0;               // kHttpDirectoryPage: the gateway fetch whose page is sent
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
