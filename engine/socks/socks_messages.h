#pragma once
// The SOCKS 4/4a and 5 client messages, parsed from bytes that may hold less than one message
// (kNeedMore: read more and try again) or more (the bytes after `consumed` belong to what
// follows). Every length is checked against what arrived; a message that can never be valid
// is kInvalid. Replies are built into caller buffers of the sizes given.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tw {

// The largest message a client may send before it is refused: a SOCKS 5 request with a
// 255-byte name is 262 bytes, a user/password packet 513, a SOCKS 4a request with a user id
// and a name fits too.
constexpr size_t kSocksMaxMessage = 600;

enum class SocksParse { kNeedMore, kInvalid, kComplete };

struct Socks4Request {
  uint8_t command = 0;
  uint16_t port = 0;  // host order
  uint8_t address[4] = {};
  bool is4a = false;          // address 0.0.0.x with x != 0: a host name follows the user id
  bool userComplete = false;  // the user id's zero byte has arrived
  std::string host;           // 4a only
};

// VN CD DSTPORT DSTIP USERID 0 [HOST 0].
SocksParse ParseSocks4(const uint8_t* p, size_t n, Socks4Request* out, size_t* consumed);

// VER NMETHODS METHODS...: the method chosen among those offered: 2 (user/password) before
// 0 (none), else 255. A version other than 5 is invalid as soon as its byte is there.
SocksParse ParseSocks5Methods(const uint8_t* p, size_t n, uint8_t* choice, size_t* consumed);

// VER ULEN UNAME PLEN PASSWD (RFC 1929); a version other than 1 is invalid.
SocksParse ParseSocks5Login(const uint8_t* p, size_t n, std::string* user, std::string* password,
                            size_t* consumed);

struct Socks5Request {
  uint8_t command = 0;
  uint8_t addressType = 0;
  uint8_t address[4] = {};  // type 1
  std::string host;         // type 3
  uint16_t port = 0;        // host order
};

// VER CMD RSV ATYP DST.ADDR DST.PORT. Address types other than 1 and 3 are complete as soon as
// the type byte is there (the caller refuses them without reading further). A version other
// than 5, and a name that is empty or holds a zero byte, are invalid.
SocksParse ParseSocks5Request(const uint8_t* p, size_t n, Socks5Request* out, size_t* consumed);

// Reply builders; `address` in network order, `port` in host order.
void Socks4Granted(uint8_t out[8], uint32_t address, uint16_t port);
void Socks4Rejected(uint8_t out[8]);
void Socks5Succeeded(uint8_t out[10], uint32_t address, uint16_t port);
void Socks5CommandNotSupported(uint8_t out[10]);
// SOCKS 5 reply codes of a request that was not granted.
constexpr uint8_t kSocks5NotAllowed = 2;         // connection not allowed by ruleset
constexpr uint8_t kSocks5HostUnreachable = 4;    // name not resolved, connect failed
constexpr uint8_t kSocks5ConnectionRefused = 5;  // the destination refused the connect
// A failure reply with code and the address 0.0.0.0:0 (type IPv4, so clients that read the
// address type parse it).
void Socks5Failed(uint8_t out[10], uint8_t code);

}  // namespace tw
