#include "platform/interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace tw {

std::vector<Ipv4Network> AttachedIPv4Networks() {
  std::vector<Ipv4Network> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == -1) return out;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_netmask == nullptr) continue;
    if (i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_UP) == 0) continue;
    Ipv4Network n;
    n.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    n.mask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
    out.push_back(n);
  }
  freeifaddrs(list);
  return out;
}

}  // namespace tw
