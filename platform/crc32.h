#pragma once
// CRC-32 (the IEEE polynomial, reflected, as zlib and Ethernet compute it): a checksum that
// lets a reader tell a record written whole from a torn or damaged one. Any thread.
#include <cstdint>
#include <string_view>

namespace tw {

// The checksum of bytes; crc32("123456789") == 0xCBF43926.
std::uint32_t Crc32(std::string_view bytes);

}  // namespace tw
