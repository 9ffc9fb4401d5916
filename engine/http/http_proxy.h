#pragma once
// The HTTP proxy's handler: plain requests (absolute URL, forwarded in origin form to the web
// server the URL names, with a Host header naming that server), CONNECT tunnels, "ftp://"
// requests through the FTP gateway, Basic login or the guest rule, web filters, and one
// activity-log line per request that reaches its destination. The filter and the log line
// always see the host the request is sent to.
//
// Every request of a client connection is read whole (its head, up to one buffer), checked
// strictly (http_request_head.h: a head two readers could frame differently gets "400 Bad
// Request" and the connection closes), authorized, filtered, logged and rewritten before it
// goes on; its body goes on as far as its framing reaches (Content-Length or chunked), and
// what follows is the next request. Requests are answered in order: each gets its own
// destination connection unless the one before went to the same host and port and its
// response said where it ended (then that connection is used again; should the server close it
// before answering, a request without body and of a method that may be repeated goes once more
// on a new connection, any other gets "502 Bad Gateway"), and the next request is taken up
// only once the response to the one before has reached the client whole
// (http_response_framing.h); a response that runs until
// the server closes ends the client's connection with it, as does a response that ends before
// its request has gone whole. Once a CONNECT tunnel is open (or a response has switched
// protocols) its bytes are opaque: nothing in it is taken for a request.
//
// States of a client context:
//   kHttpRequest       (1)   -> reading a request's head
//   kHttpConnecting    (2)   -> name lookup or connect to the destination in progress
//   kHttpFetching      (3)   -> the FTP gateway is fetching (no operation on the socket)
//   kHttpForwarding    (4)   -> a file from the FTP gateway is sent; client bytes are dropped
//   kHttpPageHeader    (5)   -> the status line of a page reply being sent; the page follows
//   kHttpDirectoryPage (6)   -> an FTP directory page being sent; then closed
//   kHttpRequestHead   (8)   -> the rewritten head being sent to the destination
//   kHttpRequestBody   (9)   -> the body being read from the client and sent on
//   kHttpAwaitResponse (10)  -> request sent whole; idle (no operation) until the destination
//                               context has passed the response on whole and wakes it
//   kHttpReplySent     (100) -> a final reply of the proxy's own being sent; then closed
//   kHttpTunnel        (-1)  -> CONNECT tunnel or switched protocols; plain relay
// A destination context is kHttpResponse (11) while it passes a response on, framed, or
// kHttpResponseBody (13) while the kernel moves a body of known length (or one that runs to the
// close) without it looking at the bytes, then kHttpKept (12) while it waits, paired, idle and without an operation, for the client's next
// request to the same host and port; a tunnel's (and an FTP data connection) is
// kHttpDestination (7): plain relay.
#include <cstdint>
#include <string>

#include "engine/core/io_context.h"

namespace tw {

enum HttpState : int32_t {
  kHttpRequest = 1,
  kHttpConnecting = 2,
  kHttpFetching = 3,
  kHttpForwarding = 4,
  kHttpPageHeader = 5,
  kHttpDirectoryPage = 6,
  kHttpDestination = 7,
  kHttpRequestHead = 8,
  kHttpRequestBody = 9,
  kHttpAwaitResponse = 10,
  kHttpResponse = 11,
  kHttpKept = 12,
  kHttpResponseBody = 13,
  kHttpReplySent = 100,
  kHttpTunnel = -1,
};

void HttpHandler(IoContext* x, uint64_t key, uint32_t bytes);

}  // namespace tw
