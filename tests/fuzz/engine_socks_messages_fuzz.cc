// Feeds arbitrary bytes to the SOCKS message parsers. Checks what the handler relies on: a
// complete message never claims more bytes than arrived, names fit their fields, and a message
// that is still short of its end never passes the size a client may send.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/socks/socks_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t consumed = 0;
  tw::Socks4Request r4;
  tw::SocksParse p = tw::ParseSocks4(data, size, &r4, &consumed);
  if (p == tw::SocksParse::kComplete && (consumed > size || (r4.is4a && r4.host.empty()))) abort();
  if (p == tw::SocksParse::kNeedMore && size >= tw::kSocksMaxMessage) abort();

  uint8_t choice = 0;
  if (tw::ParseSocks5Methods(data, size, &choice, &consumed) == tw::SocksParse::kComplete &&
      (consumed > size || (choice != 0 && choice != 2 && choice != 255))) {
    abort();
  }
  std::string user, password;
  if (tw::ParseSocks5Login(data, size, &user, &password, &consumed) == tw::SocksParse::kComplete &&
      (consumed > size || user.size() > 255 || password.size() > 255)) {
    abort();
  }
  tw::Socks5Request r5;
  if (tw::ParseSocks5Request(data, size, &r5, &consumed) == tw::SocksParse::kComplete &&
      (consumed > size || r5.host.size() > 255)) {
    abort();
  }
  return 0;
}
