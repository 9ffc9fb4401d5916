// Address texts and address rules as the account, guest and proxy checks use them.
// A rule text is empty, one dotted IPv4 address, or two joined by "-" (a "-" after the first
// character). Pure functions except PeerAddressText (one getpeername call); any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tw {

// Parses a dotted IPv4 text of exactly four decimal parts, each 0..255 (blanks around the
// text are ignored). Anything else is not an address: false.
bool ParseDottedAddress(std::string_view text, std::uint32_t* host_order);

// True when address lies between low and high, both ends included, in either order.
// A text that is not an address (see ParseDottedAddress) never passes.
bool IpInRange(std::string_view low, std::string_view high, std::string_view address);

// The address-rule test for a non-empty rule: a range admits by IpInRange, a single address
// admits the client whose address text is byte for byte the rule. An empty rule admits no
// one here; callers decide what empty means for them.
bool AddressRulePasses(std::string_view rule, std::string_view client_address);

// The peer of a connected socket as dotted text ("" when getpeername fails or the peer is not
// IPv4; an IPv4-mapped IPv6 peer gives its IPv4 text).
std::string PeerAddressText(int fd);

}  // namespace tw
