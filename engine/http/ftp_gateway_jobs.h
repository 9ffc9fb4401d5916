#pragma once
// Runs FTP-over-HTTP fetches on the gateway's own small pool of threads, so the blocking FTP
// dialogue never holds an HTTP worker. The pool looks names up on a resolver of its own, so a
// slow DNS zone costs the gateway at most its lookup limit per fetch and never reaches the
// proxies' shared resolver. A fetch ends with one kPosted completion on the port
// and Overlapped that started it: bytes 0, key = the fetch's id. The handler then looks the
// fetch up by that id, takes what it needs (the data socket, already associated with the
// port, or the listing) and ends it.
//
// At most kFtpGatewayQueueLimit fetches wait for a thread; a fetch started beyond that is
// never tried: its completion comes at once with `busy` set, and the client is refused.
//
// Fetches live in a process-wide table until ended; one whose port has gone away (its proxy
// stopped before the completion was handled) is dropped at the next start of a fetch, so
// nothing outlives its proxy for long and nothing is lost track of.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/core/proxy_server.h"
#include "engine/http/ftp_gateway.h"
#include "engine/http/ftp_listing_page.h"
#include "platform/completion_port.h"

namespace tw {

constexpr int kFtpGatewayThreads = 4;
constexpr size_t kFtpGatewayQueueLimit = 64;

struct FtpFetch {
  // What to fetch.
  std::string host;
  uint16_t port = 21;
  FtpRequest request;
  FtpGatewayLimits limits;
  DestinationRules rules;  // the proxy's destination policy, as it was when the fetch began
  // What was found (written by the gateway thread before the completion is posted).
  bool busy = false;  // the queue was full: the fetch was never tried
  bool ok = false;
  SocketHandle dataSocket = kNoSocket;  // a file's data connection; set to kNoSocket once taken
  int64_t fileSize = 0;
  std::string listing;
  std::string refused;  // "address:port" the policy refused; empty otherwise
  // The handler's directory page, made and sent piece by piece from the listing, and the
  // piece being sent.
  std::unique_ptr<ListingPage> page;
  std::string reply;
};

// The limits of a fetch for a client of server (its gateway and lookup settings).
FtpGatewayLimits FtpGatewayLimitsOf(const ProxyServer& server);

// Queues the fetch (or, with the queue full, completes it at once as busy); returns its id
// (never 0).
uint64_t StartFtpFetch(const std::shared_ptr<CompletionPort>& port, Overlapped* ov,
                       std::unique_ptr<FtpFetch> fetch);

// The fetch with that id once its completion has been delivered; nullptr when unknown. The
// pointer stays valid until EndFtpFetch(id).
FtpFetch* FindFtpFetch(uint64_t id);

// Forgets the fetch; closes its data socket unless it was taken.
void EndFtpFetch(uint64_t id);

// Fetches not yet ended (for leak checks).
size_t FtpFetchCount();

}  // namespace tw
