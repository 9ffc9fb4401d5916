#pragma once
// Millisecond tick count from the monotonic clock, truncated to 32 bits so that it wraps
// about every 49.7 days; differences taken as uint32_t stay correct across the wrap.
#include <cstdint>

namespace tw {

uint32_t TickCount();

// Milliseconds of the monotonic clock, not truncated (for deadlines).
uint64_t MonotonicMs();

// Microseconds of the monotonic clock (for latency figures).
uint64_t MonotonicUs();

}  // namespace tw
