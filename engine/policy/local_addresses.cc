#include "engine/policy/local_addresses.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/address_text.h"
#include "platform/interfaces.h"
#include "platform/resolver.h"

namespace tw {
namespace {

constexpr std::size_t kHostNameMax = 1024;

void AddUnique(std::vector<std::string>* list, const std::string& a) {
  if (std::find(list->begin(), list->end(), a) == list->end()) list->push_back(a);
}

// Every IPv4 address getaddrinfo gives for host, in its order.
std::vector<std::string> ResolveAll(const std::string& host) {
  std::vector<std::string> out;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return out;
  for (addrinfo* p = res; p != nullptr; p = p->ai_next) {
    if (p->ai_family != AF_INET || p->ai_addr == nullptr) continue;
    AddUnique(&out, AddressText(reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr));
  }
  ::freeaddrinfo(res);
  return out;
}

bool HostName(std::string* name) {
  char buf[kHostNameMax + 1] = {};
  if (::gethostname(buf, kHostNameMax) == -1) return false;
  *name = buf;  // buf stays terminated: one byte more than gethostname may fill
  return !name->empty();
}

// The text of an address up to its last "."; "" when there is no ".".
std::string_view NetworkPart(std::string_view address) {
  std::size_t dot = address.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : address.substr(0, dot);
}

}  // namespace

std::vector<std::string> MachineIPv4Addresses() {
  std::vector<std::string> out;
  std::string name;
  if (HostName(&name)) {
    for (const std::string& a : ResolveAll(name)) AddUnique(&out, a);
  }
  for (const Ipv4Interface& i : IPv4Interfaces()) {
    AddUnique(&out, AddressText(htonl(i.address)));
  }
  return out;
}

const std::vector<std::string>& LocalAddressList::Get() const {
  std::call_once(once_, [this] {
    addresses_ = source_ ? source_() : std::vector<std::string>();
    ++builds_;
  });
  return addresses_;
}

std::string LocalAddressForClient(const LocalAddressList& addresses,
                                  std::string_view client_address) {
  std::string_view net = NetworkPart(client_address);
  if (net.empty()) return "";
  for (const std::string& a : addresses.Get()) {
    if (NetworkPart(a) == net) return a;
  }
  if (NetworkPart("127.0.0.1") == net) return "127.0.0.1";
  return "";
}

bool IsOwnHttpAddress(const LocalAddressList& addresses, int port, std::string_view host) {
  if (host.empty()) return false;
  std::string suffix = port == 80 ? "" : ":" + std::to_string(port);
  for (const std::string& a : addresses.Get()) {
    if (host.size() == a.size() + suffix.size() && host.substr(0, a.size()) == a &&
        host.substr(a.size()) == suffix) {
      return true;
    }
  }
  return false;
}

bool ResolveFirstAddress(std::string_view host, std::uint8_t network_order[4]) {
  if (host.empty() || host.size() > kHostNameMax || host.find('\0') != std::string_view::npos) {
    return false;
  }
  std::uint32_t address = 0;
  if (!ResolveIPv4(std::string(host), &address)) return false;
  std::memcpy(network_order, &address, 4);
  return true;
}

bool LocalFirstAddress(std::uint8_t network_order[4]) {
  std::string name;
  if (!HostName(&name)) return false;
  return ResolveFirstAddress(name, network_order);
}

}  // namespace tw
