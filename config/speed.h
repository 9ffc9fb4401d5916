// Speed settings (KB/s with an on/off switch) to byte rates for the throttle.
#pragma once

#include <cstdint>

namespace tw {

// Bytes per second for a switch and a speed in KB/s; 0 means unlimited. The product is taken
// in 32 bits as the stored files expect: a result with the top bit set (2097152 KB/s and
// more, or a negative speed) is unlimited, and so is any speed whose switch is 0.
constexpr std::int32_t SpeedToRate(std::int32_t limit_switch, std::int32_t speed_kbps) {
  if (limit_switch == 0) return 0;
  std::uint32_t bytes = static_cast<std::uint32_t>(speed_kbps) * 1024u;
  if (bytes & 0x80000000u) return 0;
  return static_cast<std::int32_t>(bytes);
}

}  // namespace tw
