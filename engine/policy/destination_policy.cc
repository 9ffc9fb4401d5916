#include "engine/policy/destination_policy.h"

#include <arpa/inet.h>

#include <algorithm>

#include "platform/address_text.h"

namespace tw {

namespace {

// 0.0.0.0/8 (a connect to it reaches this machine), 127.0.0.0/8, 169.254.0.0/16 (link-local:
// cloud metadata services live there), 224.0.0.0/4 (multicast) and 240.0.0.0/4 (reserved, with
// the broadcast address at its top).
bool SpecialPurpose(std::uint32_t host_order) {
  std::uint32_t first = host_order >> 24;
  return first == 0 || first == 127 || (host_order >> 16) == 0xa9fe || (host_order >> 28) >= 14;
}

// The addresses through which a socket bound to every address of the machine is reached.
bool ThisMachine(std::uint32_t host_order, const std::string& text,
                 const std::vector<std::string>& machineAddresses) {
  std::uint32_t first = host_order >> 24;
  if (first == 0 || first == 127) return true;
  return std::find(machineAddresses.begin(), machineAddresses.end(), text) !=
         machineAddresses.end();
}

}  // namespace

void OwnEndpoints::Add(ListenEndpoint e) {
  MutexLock lock(mu_);
  endpoints_.push_back(e);
}

void OwnEndpoints::Remove(ListenEndpoint e) {
  MutexLock lock(mu_);
  auto it = std::find(endpoints_.begin(), endpoints_.end(), e);
  if (it != endpoints_.end()) endpoints_.erase(it);
}

bool OwnEndpoints::Reaches(std::uint32_t address, std::uint16_t port, bool machineAddress) const {
  MutexLock lock(mu_);
  for (const ListenEndpoint& e : endpoints_) {
    if (e.port != port) continue;
    // A connect to 0.0.0.0 lands on the loopback interface, so on a loopback-bound socket too.
    if (e.address == 0 ? machineAddress : e.address == address || (ntohl(address) >> 24) == 0) {
      return true;
    }
  }
  return false;
}

DestinationVerdict CheckDestination(std::uint32_t address, std::uint16_t port, bool allowLocal,
                                    const std::vector<std::string>& machineAddresses,
                                    const OwnEndpoints* own) {
  std::uint32_t host_order = ntohl(address);
  std::string text = AddressText(address);
  bool machine = ThisMachine(host_order, text, machineAddresses);
  if (own != nullptr && own->Reaches(address, port, machine))
    return DestinationVerdict::kOwnListener;
  if (allowLocal) return DestinationVerdict::kAllowed;
  if (machine || SpecialPurpose(host_order)) return DestinationVerdict::kLocal;
  return DestinationVerdict::kAllowed;
}

}  // namespace tw
