#pragma once
// The HTTP proxy's view of a client request head (checked by http_request_head.h first), as
// pure functions over its bytes: which destination it names, the Basic login it carries, the
// request as it goes on to the web server, the web-filter decision, and the proxy's own reply
// texts.
// Nothing here touches a socket; every function is safe from any thread and never reads
// beyond the view it is given.
//
// Header names are matched at the start of a line in any letter case, with or without blanks
// around the colon: a client library that writes "proxy-authorization:" must not get its proxy
// password passed on, nor a "host:" line pass a filter unseen.
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

// The first line of a header block, without its line end.
std::string_view RequestLine(std::string_view header);

// The value of the header field called name ("Host", any letter case): the text after its
// colon up to the line end, without the blanks around it. False when no line names it. The
// request line itself is never a header line.
bool FindHeader(std::string_view header, std::string_view name, std::string_view* value);

// Where a request goes.
struct HttpDestination {
  enum Scheme { kHttp, kFtp, kConnect };
  Scheme scheme = kHttp;
  std::string host;  // a name or dotted address: letters, digits, ".", "-", "_"
  uint16_t port = 0;
  // "host[:port]" as the request writes it: the absolute target's authority without its user
  // info, else the Host header's value; the target of a CONNECT.
  std::string authority;
  bool fromTarget = false;  // authority taken from an absolute target ("http://h/x")
};

// The destination named by a complete header block: CONNECT takes host and port from the
// request line (port 443 by default); a request with an absolute target ("GET http://h/x")
// from that target's authority, whatever its Host header says (port 80, or 21 for
// "GET ftp://"); any other request from its Host header (port 80). False for an origin-form
// request without Host header, an empty or malformed host, or a port outside 1-65535: such a
// request is closed without a reply.
bool ParseDestination(std::string_view header, HttpDestination* out);

// The user and password of a "Proxy-Authorization: Basic " header: the decoded text split at
// its first ":" (no ":" gives an empty user and the whole text as password). False when the
// header is absent or its value does not decode.
bool ParseBasicCredentials(std::string_view header, std::string* user, std::string* password);

// The header block of a request to dest as it goes on to the web server:
//   - every Proxy-Authorization line is removed (it carries the client's proxy password);
//   - the first Proxy-Connection line becomes a Connection line with the same value;
//   - the Host line stays when it is the only one and names the destination's host and port
//     (host in any letter case); otherwise every Host line goes and one "Host: " line with
//     dest.authority takes the place of the first (or follows the request line), so the web
//     server is never told another host than the one that was filtered;
//   - an absolute target "http://<host>/..." whose <host> is the Host value sent on, letter
//     for letter, becomes the origin form "/..." (a target naming the host in another way
//     stays as it is).
// Never longer than the input plus one Host line with dest.authority.
std::string RewriteRequestHeader(std::string_view header, const HttpDestination& dest);

// The text a web filter matches for a request to dest: for an "http://" or origin-form target
// the authority and path without trailing "/" ("GET http://h/a/ HTTP/1.1" gives "h/a", as does
// "GET /a/" with "Host: h"); the request line for any other (CONNECT, "ftp://"), its URL
// without user info. The authority is always the destination's, never a user-info disguise.
std::string FilterUrlText(std::string_view request_line, const HttpDestination& dest);

// The request line as the activity log shows it: the password of its URL's user info is left
// out ("GET ftp://bob:pw@h/ HTTP/1.1" gives "GET ftp://bob@h/ HTTP/1.1").
std::string LoggedRequestLine(std::string_view request_line);

// True when the filter blocks the URL text: type 1 blocks what matches none of its
// patterns (when it has any), type 2 blocks what matches one. Patterns are separated by ";",
// trimmed, empty ones skipped; "*" and "?" wildcards without regard to case.
bool WebFilterBlocks(const WebFilter& filter, std::string_view url_text);

// True when the request line's method may be sent twice without harm (GET, HEAD, OPTIONS,
// TRACE, PUT, DELETE): such a request may go again when a kept connection closed unanswered.
bool IdempotentMethod(std::string_view request_line);

// The 407 reply that asks for a proxy login.
std::string ProxyAuthRequiredReply();

}  // namespace tw
