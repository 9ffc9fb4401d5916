#pragma once
// The strict reading of a client's request head, before anything of it is acted on. A head
// that two readers could take apart differently is refused whole ("400 Bad Request", then the
// connection closes), so the web server never sees a request framed otherwise than the proxy
// filtered, logged and authorized it:
//   - a NUL, or a CR that does not end a line, anywhere in the head;
//   - a request line other than "METHOD SP target SP HTTP/1.0|HTTP/1.1", with a method of
//     token characters and a target that is absolute-form ("scheme://..."), authority-form
//     ("host:port") for CONNECT, or "*" for OPTIONS;
//   - a header line without a colon, with an empty name or one that is not a token (a blank
//     before the colon), or one that continues the previous line (obsolete folding);
//   - Content-Length together with Transfer-Encoding, Content-Length values that differ or
//     are not decimal, a Transfer-Encoding whose last coding is not chunked.
// Lines may end in CRLF or a bare LF. Pure functions, safe from any thread.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/http/http_body_framing.h"

namespace tw {

// The reply to a refused head; the connection closes after it.
inline constexpr std::string_view kBadRequestReply =
    "HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

enum class HeadScan { kIncomplete, kComplete, kBad };

// Looks for the end of the head among the bytes of a request received so far (data starts
// with the request line). *checked is the length of the complete lines already checked: 0 for
// a new request, kept by the caller between calls so no line is looked at twice. kComplete:
// the head is the first *checked bytes of data (its blank line included). kBad as soon as a
// complete line, or a NUL or bare CR in the line still arriving, breaks a rule above (the
// header framing values are judged by ReadRequestHead).
HeadScan ScanRequestHead(std::string_view data, uint32_t* checked);

// A request head accepted by ReadRequestHead.
struct RequestHead {
  std::string text;      // the head with every line ended by CRLF, its blank line included
  bool connect = false;  // CONNECT: no body; a tunnel follows the proxy's reply
  bool head = false;     // HEAD: its response has no body
  // HTTP/1.0, or "close" in Connection or Proxy-Connection: the client's connection ends
  // with the response.
  bool close = false;
  HttpBodyKind body = kBodyNone;
  uint64_t length = 0;  // kBodyLength: the body's size
};

// Reads a complete head found by ScanRequestHead: its text in CRLF form and how its body is
// framed. False when the head is to be refused.
bool ReadRequestHead(std::string_view head, RequestHead* out);

}  // namespace tw
