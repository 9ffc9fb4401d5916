// This machine's own IPv4 addresses and name resolution for the proxies.
// LocalAddressList is built once per proxy object on first use, by whichever worker asks
// first, and only read afterwards; concurrent first uses build it exactly once.
// Name resolution blocks (getaddrinfo, IPv4 only): use it at start-up or on resolver threads.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// Every IPv4 address of the machine, dotted, without duplicates: those of the host name first
// (in resolver order), then those of the network interfaces.
std::vector<std::string> MachineIPv4Addresses();

class LocalAddressList {
 public:
  using Source = std::function<std::vector<std::string>()>;
  // source defaults to MachineIPv4Addresses; tests give a fixed list.
  explicit LocalAddressList(Source source = MachineIPv4Addresses) : source_(std::move(source)) {}
  LocalAddressList(const LocalAddressList&) = delete;
  LocalAddressList& operator=(const LocalAddressList&) = delete;

  // Replaces the source; only before the first Get and before other threads see the object.
  void SetSource(Source source) { source_ = std::move(source); }

  // Any thread. The first call builds the list; later calls return the same list.
  const std::vector<std::string>& Get() const;
  // How many times the list was built (0 or 1); for tests of the once-only guard.
  int BuildCount() const { return builds_; }

 private:
  Source source_;
  mutable std::once_flag once_;
  mutable std::vector<std::string> addresses_;  // written once under once_
  mutable int builds_ = 0;                      // written once under once_
};

// The machine address that shares the client's network: the first list entry, or else
// "127.0.0.1", whose text up to its last "." equals the client's text up to its last "."
// (client 192.168.1.20 picks 192.168.1.7, never 10.192.168.1). "" when none does.
std::string LocalAddressForClient(const LocalAddressList& addresses,
                                  std::string_view client_address);

// True when host (a Host header value) names the HTTP proxy itself: one of the machine's
// addresses, followed by ":port" unless the proxy listens on port 80. Whole entries only.
bool IsOwnHttpAddress(const LocalAddressList& addresses, int port, std::string_view host);

// The first IPv4 address of host; false when it does not resolve or is not a clean name.
// *network_order receives the four address bytes in network order.
bool ResolveFirstAddress(std::string_view host, std::uint8_t network_order[4]);

// The first IPv4 address of this machine's host name; out is left unchanged on failure.
bool LocalFirstAddress(std::uint8_t network_order[4]);

}  // namespace tw
