#include "platform/interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace tw {

std::vector<Ipv4Interface> IPv4Interfaces() {
  std::vector<Ipv4Interface> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == -1) return out;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    Ipv4Interface n;
    n.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    if (i->ifa_netmask != nullptr) {
      n.mask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
    }
    n.up = (i->ifa_flags & IFF_UP) != 0;
    out.push_back(n);
  }
  freeifaddrs(list);
  return out;
}

std::vector<Ipv4Network> AttachedIPv4Networks() {
  std::vector<Ipv4Network> out;
  for (const Ipv4Interface& i : IPv4Interfaces()) {
    if (i.up && i.mask != 0) out.push_back(Ipv4Network{i.address, i.mask});
  }
  return out;
}

}  // namespace tw
