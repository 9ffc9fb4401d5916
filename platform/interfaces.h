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

// One IPv4 address of an interface, in the kernel's order.
struct Ipv4Interface {
  std::uint32_t address = 0;  // host byte order
  std::uint32_t mask = 0;     // host byte order; 0 when the kernel gives none
  bool up = false;
};

// Every IPv4 address of every interface; empty when the list cannot be read.
std::vector<Ipv4Interface> IPv4Interfaces();

// Every IPv4 address of an interface that is up, with its netmask.
std::vector<Ipv4Network> AttachedIPv4Networks();

}  // namespace tw
