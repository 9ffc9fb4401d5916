// Where a proxy may connect to on a client's behalf, decided on the resolved address, so a
// name that points home is caught as surely as a literal address. Without the switch
// allowLocal, the proxy never reaches this machine or addresses no host should be asked for
// (this-network, loopback, link-local, multicast, reserved and broadcast); whatever the
// switch, it never reaches one of this program's own listening sockets, which would let a
// client loop the proxy into itself or reach a listener through it as a local peer.
// CheckDestination is pure; OwnEndpoints is shared by every listener and safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/mutex.h"

namespace tw {

// A listening socket of this program: its address (network order; 0 = every address of the
// machine, as the proxies bind) and its port.
struct ListenEndpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  bool operator==(const ListenEndpoint&) const = default;
};

// The listening sockets this program holds now. Each listener adds itself once it listens
// and removes itself when it closes; workers ask while listeners come and go.
class OwnEndpoints {
 public:
  void Add(ListenEndpoint e) EXCLUDES(mu_);
  // Removes one entry equal to e (a port opened twice stays listed once until both close).
  void Remove(ListenEndpoint e) EXCLUDES(mu_);
  // True when a connect to address:port would reach one of the sockets; machineAddress says
  // whether address is one of this machine's, which a socket bound to every address accepts.
  bool Reaches(std::uint32_t address, std::uint16_t port, bool machineAddress) const EXCLUDES(mu_);

 private:
  mutable Mutex mu_;
  std::vector<ListenEndpoint> endpoints_ GUARDED_BY(mu_);
};

enum class DestinationVerdict {
  kAllowed,
  kLocal,        // this machine or a special-purpose address, and allowLocal is off
  kOwnListener,  // one of this program's listening sockets
};

// address in network order. machineAddresses: this machine's addresses as dotted texts (the
// proxy's LocalAddressList); own: nullptr when no listener is known.
DestinationVerdict CheckDestination(std::uint32_t address, std::uint16_t port, bool allowLocal,
                                    const std::vector<std::string>& machineAddresses,
                                    const OwnEndpoints* own);

// The rules as one value, for a thread that connects away from the proxy's workers.
struct DestinationRules {
  bool allowLocal = false;
  std::vector<std::string> machineAddresses;
  std::shared_ptr<const OwnEndpoints> ownEndpoints;

  bool Allows(std::uint32_t address, std::uint16_t port) const {
    return CheckDestination(address, port, allowLocal, machineAddresses, ownEndpoints.get()) ==
           DestinationVerdict::kAllowed;
  }
};

}  // namespace tw
