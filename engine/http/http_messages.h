#pragma once
// The HTTP proxy's view of a client request, as pure functions over its bytes: where the
// header block ends, which destination it names, the Basic login it carries, the request as
// it goes on to the web server, the web-filter decision, and the proxy's own reply texts.
// Nothing here touches a socket; every function is safe from any thread and never reads
// beyond the view it is given.
//
// Headers are matched at the start of a line and with the exact spelling browsers use
// ("Host: ", "Proxy-Authorization: Basic ", "Proxy-Connection:"); a header written in another
// letter case or without the blank after the colon is not seen.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/policy/web_filter_list.h"

namespace tw {

// Longest host name accepted from a request (a DNS name).
constexpr size_t kHttpMaxHost = 255;

// The reply that opens a CONNECT tunnel, byte for byte.
inline constexpr std::string_view kConnectEstablished =
    "HTTP/1.0 200 Connection established\r\nProxy-agent: TarnwickHttpProxy/1.1\r\n\r\n";

// The status line and blank line that precede a refusal page.
inline constexpr std::string_view kPageReplyStatus = "HTTP/1.0 200 OK\r\n\r\n";

// True when data begins, without regard to case, with "GET ", "PUT ", "POST ", "HEAD " or
// "CONNECT ": the words that start a new request on a client connection.
bool StartsWithMethod(std::string_view data);

// The length of the header block including the blank line that ends it ("\r\n\r\n"), or 0
// while that line has not arrived.
size_t HeaderBlockLength(std::string_view data);

// The first line of a header block, without its line end.
std::string_view RequestLine(std::string_view header);

// The value of the header whose line starts with `prefix` (such as "Host: "): the text after
// the prefix up to the line end. False when no line starts with it. The request line itself
// is never a header line.
bool FindHeader(std::string_view header, std::string_view prefix, std::string_view* value);

// Where a request goes.
struct HttpDestination {
  enum Scheme { kHttp, kFtp, kConnect };
  Scheme scheme = kHttp;
  std::string host;  // a name or dotted address: letters, digits, ".", "-", "_"
  uint16_t port = 0;
};

// The destination named by a complete header block: CONNECT takes host and port from the
// request line (port 443 by default); every other request from its "Host: " header (port 80,
// or 21 for "GET ftp://"). False for a missing Host header, an empty or malformed host, or a
// port outside 1-65535: such a request is closed without a reply.
bool ParseDestination(std::string_view header, HttpDestination* out);

// The user and password of a "Proxy-Authorization: Basic " header: the decoded text split at
// its first ":" (no ":" gives an empty user and the whole text as password). False when the
// header is absent or its value does not decode.
bool ParseBasicCredentials(std::string_view header, std::string* user, std::string* password);

// The header block as it goes on to the web server: "Proxy-Connection:" becomes
// "Connection:", every "Proxy-Authorization:" line is removed (it carries the client's proxy
// password), and an absolute target "http://<host_value>/..." at the start of the request
// target becomes the origin form "/..." (a target naming the host in another way stays as it
// is). host_value empty: no target rewrite. Never longer than the input.
std::string RewriteRequestHeader(std::string_view header, std::string_view host_value);

// The text a web filter matches: the host and path of the URL in the request line, without
// trailing "/" ("GET http://h/a/ HTTP/1.1" gives "h/a"); the whole request line when it holds
// no such URL (CONNECT).
std::string FilterUrlText(std::string_view request_line);

// True when the filter blocks the URL text: type 1 blocks what matches none of its
// patterns (when it has any), type 2 blocks what matches one. Patterns are separated by ";",
// trimmed, empty ones skipped; "*" and "?" wildcards without regard to case.
bool WebFilterBlocks(const WebFilter& filter, std::string_view url_text);

// The 407 reply that asks for a proxy login.
std::string ProxyAuthRequiredReply();

}  // namespace tw
