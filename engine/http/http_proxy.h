#pragma once
// The HTTP proxy's handler: plain requests (absolute URL, forwarded in origin form to the web
// server the URL names, with a Host header naming that server), CONNECT tunnels, "ftp://"
// requests through the FTP gateway, Basic login or the guest rule, web filters, and one
// activity-log line per request that reaches its destination. The filter and the log line
// always see the host the request is sent to.
//
// A request is read whole (its header block, up to one buffer) before it is handled; the
// bytes after the header block go on with it. On a client connection whose request was
// forwarded, a later read that begins with a method word is a new request, which gets a new
// destination connection while the previous one is shut down; other reads are relayed. Once a
// CONNECT tunnel is open its bytes are opaque: nothing in it is taken for a request.
//
// States of a client context:
//   kHttpRequest       (1)   -> reading a request's header block
//   kHttpConnecting    (2)   -> name lookup or connect to the destination in progress
//   kHttpFetching      (3)   -> the FTP gateway is fetching (no operation on the socket)
//   kHttpForwarding    (4)   -> request sent on; reads are relayed or start a new request
//   kHttpPageHeader    (5)   -> the status line of a page reply being sent; the page follows
//   kHttpDirectoryPage (6)   -> an FTP directory page being sent; then closed
//   kHttpReplySent     (100) -> a final reply of the proxy's own being sent; then closed
//   kHttpTunnel        (-1)  -> CONNECT tunnel; plain relay
// A destination context (also an FTP data connection) is kHttpDestination (7): plain relay.
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
  kHttpReplySent = 100,
  kHttpTunnel = -1,
};

void HttpHandler(IoContext* x, uint64_t key, uint32_t bytes);

}  // namespace tw
