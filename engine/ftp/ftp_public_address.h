#pragma once
// The public address the FTP proxy announces to a data peer outside the machine's own
// networks, asked from an address-echo web server (ProxyServer::addressEchoHost, off when
// empty): an HTTP/1.0 GET of "/myip.php" whose body starts with "Your IP:". The request runs
// on a context of its own through the completion port, so no worker waits for it; the control
// context that asked has no operation outstanding meanwhile and is continued by
// ResumeAfterAddressLookup on the worker that finishes the lookup.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/io_context.h"

namespace tw {

// "host" or "host:port" of the echo server; false when the text is not usable.
bool ParseEchoServer(std::string_view text, std::string* host, uint16_t* port);

// The request sent to the echo server.
std::string EchoRequest(std::string_view host);

// The address in an HTTP response from the echo server, or "" (the whole response as read,
// headers included).
std::string AddressFromEchoResponse(std::string_view response);

// Starts a lookup for control context `control`. False when none could be started (nothing is
// then pending and the caller goes on without the address).
bool StartPublicAddressLookup(IoContext* control);

// The handler's part for the lookup context (states kFtpEchoConnecting ... kFtpEchoReading).
void PublicAddressLookupStep(IoContext* x, uint32_t bytes);

}  // namespace tw
