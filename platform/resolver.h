#pragma once
// Name lookups off the I/O path: a small pool of threads runs getaddrinfo (IPv4) and posts the
// result to the port that asked, as one kResolve completion: bytes = the first IPv4 address in
// network byte order, error = 0, or error = EHOSTUNREACH when the name does not resolve.
// A port that is gone or closed by the time the lookup ends simply gets nothing.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/completion_port.h"

namespace tw {

void ResolveAsync(const std::shared_ptr<CompletionPort>& port, std::string host, uint64_t key,
                  Overlapped* ov);

// Blocking lookup of the first IPv4 address (network order). False when none.
bool ResolveIPv4(const std::string& host, uint32_t* out);

}  // namespace tw
