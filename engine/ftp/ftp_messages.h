#pragma once
// The FTP control lines the proxy reads or rewrites itself: command lines of the dialogue with
// the proxy, the destination in "USER user@host[:port]" and "SITE"/"OPEN", the host-port
// argument of passive replies ("227 ") and "PORT " commands, and the page body of the
// address-echo server. Pure functions over untrusted text: every number is range-checked, a
// text that does not parse is refused (false), never guessed at.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tw {

// The longest control line the proxy holds while waiting for its end; a longer line that may
// still need the proxy's attention is taken as it stands (and then fails to parse).
constexpr size_t kFtpMaxLine = 512;

// Offset just past the first line end ("\n", usually "\r\n") in [p, p + n); 0 when none.
size_t FtpLineEnd(const char* p, size_t n);

struct FtpCommand {
  std::string verb;      // first word, upper-cased
  std::string argument;  // the rest, white space trimmed at both ends
};

// Splits one command line (line end included or not) into verb and argument.
FtpCommand ParseFtpCommand(std::string_view line);

// "user@host[:port]": user is the text before the last "@" (a host never holds one, a user
// name may), destination what follows. False when there is no "@".
bool SplitUserAtHost(std::string_view argument, std::string* user, std::string* destination);

enum class FtpDestinationParse { kOk, kEmpty, kBadPort };

// "host[:port]": a ":" after the first character starts the port (after the last ":"); the
// port must be a number from 1 to 65535. Without a port, 21.
FtpDestinationParse ParseFtpDestination(std::string_view destination, std::string* host,
                                        uint16_t* port);

// "h1,h2,h3,h4,p1,p2" with every part a decimal number of 0-255 (blanks around parts allowed):
// the address in network order and the port in host order.
bool ParseHostPort(std::string_view text, uint32_t* address, uint16_t* port);

// A passive reply line ("227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)."). The numbers are
// taken between the first "(" and the next ")", or, for servers that leave the parentheses
// out, from the first digit after the code to the line end.
bool ParsePassiveReply(std::string_view line, uint32_t* address, uint16_t* port);

// The argument of a "PORT " command line.
bool ParsePortCommand(std::string_view line, uint32_t* address, uint16_t* port);

// "227 Entering Passive Mode (a,b,c,d,p1,p2)\r\n" and "PORT a,b,c,d,p1,p2\r\n" for a dotted
// address text and a port. An address that is not dotted IPv4 gives "".
std::string FormatPassiveReply(std::string_view dotted, uint16_t port);
std::string FormatPortCommand(std::string_view dotted, uint16_t port);

// What a control line coming from one side means to the proxy.
enum class FtpLineKind {
  kOrdinary,      // relayed as it is
  kPassiveReply,  // server: "227 "
  kPortCommand,   // client: "PORT "
  kRefused,       // client: EPSV, EPRT, LPSV, LPRT, AUTH: they would take data or control
                  // past the rewriting, so the proxy answers them itself
};

// The kind of a complete line read from the server (fromServer) or the client.
FtpLineKind ClassifyFtpLine(std::string_view line, bool fromServer);

// For the start of a line whose end has not arrived: true when its kind cannot be told yet or
// is not kOrdinary (the line must then be held until its end); false when it is ordinary
// whatever follows, so its bytes can go on at once.
bool FtpLineMayNeedRewrite(std::string_view start, bool fromServer);

// The page body of the address-echo server: "Your IP:" followed by the address. The address
// is the rest with white space and line ends trimmed; it must be a dotted IPv4 address (it is
// announced to peers). False when the body does not start with "Your IP:" or holds none.
bool ParseEchoedAddress(std::string_view body, std::string* address);

}  // namespace tw
