#include "platform/random_text.h"

#include <sys/random.h>

#include <cerrno>

namespace tw {

std::string RandomHex(std::size_t bytes) {
  unsigned char raw[64];
  if (bytes > sizeof raw) return {};
  std::size_t got = 0;
  while (got < bytes) {
    ssize_t n = getrandom(raw + got, bytes - got, 0);
    if (n == -1) {
      if (errno == EINTR) continue;
      return {};
    }
    got += static_cast<std::size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    out += kHex[raw[i] >> 4];
    out += kHex[raw[i] & 15];
  }
  return out;
}

}  // namespace tw
