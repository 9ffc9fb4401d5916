#pragma once
// Secrets made from the kernel's random source (getrandom), as lower-case hex text. Any
// thread.
#include <cstddef>
#include <string>

namespace tw {

// `bytes` random bytes (at most 64) as 2 * bytes hex digits; empty when the kernel gave none
// or more were asked for.
std::string RandomHex(std::size_t bytes);

}  // namespace tw
