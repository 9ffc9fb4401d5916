#pragma once
// The IPv4 networks directly attached to this machine's interfaces (loopback included), read
// from the kernel at the moment of the call. Any thread; the call lists the interfaces once.
#include <cstdint>
#include <vector>

namespace tw {

struct Ipv4Network {
  std::uint32_t address = 0;  // host byte order
  std::uint32_t mask = 0;     // host byte order, contiguous high bits

  bool Contains(std::uint32_t host_order) const { return (host_order & mask) == (address & mask); }
};

// Every IPv4 address of an interface that is up, with its netmask; empty when the list
// cannot be read.
std::vector<Ipv4Network> AttachedIPv4Networks();

}  // namespace tw
