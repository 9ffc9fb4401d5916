#pragma once
// The pieces of the POP3 and SMTP dialogues that the mail proxies read and write, as pure
// functions over bytes: line framing, command words, the user name that names the real
// server (name#server or name#server:port), SMTP reply lines, and Base64.
//
// Every input is untrusted: lengths are checked against what arrived, a line that grows past
// kMailMaxLine without its end is reported as too long, and a user name whose parts cannot be
// used (empty, too long, holding a zero byte, a port that is not 1-65535) is refused with the
// reason.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ascii_text.h"  // commands are compared without regard to case
#include "platform/base64.h"      // the SMTP user name travels in Base64

namespace tw {

// The longest line, with its line end, that a mail dialogue waits for: SMTP's text line limit
// (RFC 5321), which also covers the Base64 form of the longest user name we accept.
constexpr size_t kMailMaxLine = 1000;

// The longest account (mailbox) name carried to the real server and the longest host name.
constexpr size_t kMailMaxAccount = 255;
constexpr size_t kMailMaxHost = 255;

enum class LineScan { kNeedMore, kTooLong, kComplete };

// Finds the first line of `held`. A line ends with CR LF or a bare LF; *line is the text
// before the end (a CR before the LF excluded), *consumed the length including the end.
// kTooLong when kMailMaxLine bytes have arrived without a line end.
LineScan NextLine(std::string_view held, std::string_view* line, size_t* consumed);

// "VERB argument": the verb is the text before the first blank, the argument everything after
// that blank (blanks at its end removed). A line without a blank is all verb.
struct MailCommand {
  std::string_view verb;
  std::string_view argument;
};
MailCommand SplitCommand(std::string_view line);

// The user name a mail client gives: account#server or account#server:port. The account is
// the text before the first "#", the server the text after it; a ":" after the server's first
// character starts the port (the last ":"), otherwise the default port applies.
struct MailTarget {
  std::string account;
  std::string server;  // as given, with its ":port" when present
  std::string host;    // without the port
  uint16_t port = 0;
};

enum class TargetParse {
  kOk,
  kNoServer,     // no "#", or nothing after it
  kNoAccount,    // nothing before the "#"
  kBadPort,      // port text not a number 1-65535
  kTooLong,      // account or host longer than we carry
  kBadCharacter  // a control character (zero byte, CR, LF, ...): never carried to a server
};

TargetParse ParseMailTarget(std::string_view user, uint16_t default_port, MailTarget* out);

// One line of an SMTP reply: "ddd text" ends the reply, "ddd-text" continues it. False when
// the line is not a reply line at all.
struct ReplyLine {
  int code = 0;
  bool last = false;
};
bool ParseReplyLine(std::string_view line, ReplyLine* out);

}  // namespace tw
