#include "engine/socks/socks_messages.h"

#include <cstring>

namespace tw {

namespace {

// Index of the first zero byte at or after `from`, or n when there is none yet.
size_t FindZero(const uint8_t* p, size_t n, size_t from) {
  for (size_t i = from; i < n; ++i) {
    if (p[i] == 0) return i;
  }
  return n;
}

SocksParse NeedMoreWithin(size_t n) {
  return n >= kSocksMaxMessage ? SocksParse::kInvalid : SocksParse::kNeedMore;
}

void PutPort(uint8_t* out, uint16_t port) {
  out[0] = static_cast<uint8_t>(port >> 8);
  out[1] = static_cast<uint8_t>(port & 0xff);
}

}  // namespace

SocksParse ParseSocks4(const uint8_t* p, size_t n, Socks4Request* out, size_t* consumed) {
  if (n < 8) return NeedMoreWithin(n);
  out->command = p[1];
  out->port = static_cast<uint16_t>((p[2] << 8) | p[3]);
  std::memcpy(out->address, p + 4, 4);
  out->is4a = p[4] == 0 && p[5] == 0 && p[6] == 0 && p[7] != 0;
  size_t userEnd = FindZero(p, n, 8);
  if (userEnd == n) return NeedMoreWithin(n);
  out->userComplete = true;
  if (!out->is4a) {
    *consumed = userEnd + 1;
    return SocksParse::kComplete;
  }
  size_t hostEnd = FindZero(p, n, userEnd + 1);
  if (hostEnd == n) return NeedMoreWithin(n);
  if (hostEnd == userEnd + 1) return SocksParse::kInvalid;  // an empty host name
  out->host.assign(reinterpret_cast<const char*>(p + userEnd + 1), hostEnd - userEnd - 1);
  *consumed = hostEnd + 1;
  return SocksParse::kComplete;
}

SocksParse ParseSocks5Methods(const uint8_t* p, size_t n, uint8_t* choice, size_t* consumed) {
  if (n >= 1 && p[0] != 5) return SocksParse::kInvalid;
  if (n < 2) return SocksParse::kNeedMore;
  size_t count = p[1];
  if (n < 2 + count) return SocksParse::kNeedMore;
  bool none = false, login = false;
  for (size_t i = 0; i < count; ++i) {
    if (p[2 + i] == 0) none = true;
    if (p[2 + i] == 2) login = true;
  }
  *choice = login ? 2 : none ? 0 : 255;
  *consumed = 2 + count;
  return SocksParse::kComplete;
}

SocksParse ParseSocks5Login(const uint8_t* p, size_t n, std::string* user, std::string* password,
                            size_t* consumed) {
  if (n >= 1 && p[0] != 1) return SocksParse::kInvalid;  // the sub-negotiation's version
  if (n < 2) return SocksParse::kNeedMore;
  size_t ulen = p[1];
  if (n < 2 + ulen + 1) return SocksParse::kNeedMore;
  size_t plen = p[2 + ulen];
  if (n < 3 + ulen + plen) return SocksParse::kNeedMore;
  user->assign(reinterpret_cast<const char*>(p + 2), ulen);
  password->assign(reinterpret_cast<const char*>(p + 3 + ulen), plen);
  *consumed = 3 + ulen + plen;
  return SocksParse::kComplete;
}

SocksParse ParseSocks5Request(const uint8_t* p, size_t n, Socks5Request* out, size_t* consumed) {
  if (n >= 1 && p[0] != 5) return SocksParse::kInvalid;
  if (n < 4) return SocksParse::kNeedMore;
  out->command = p[1];
  out->addressType = p[3];
  if (out->addressType == 1) {
    if (n < 10) return SocksParse::kNeedMore;
    std::memcpy(out->address, p + 4, 4);
    out->port = static_cast<uint16_t>((p[8] << 8) | p[9]);
    *consumed = 10;
    return SocksParse::kComplete;
  }
  if (out->addressType != 3) {
    *consumed = 4;
    return SocksParse::kComplete;
  }
  if (n < 5) return SocksParse::kNeedMore;
  size_t len = p[4];
  if (len == 0) return SocksParse::kInvalid;
  if (n < 5 + len + 2) return SocksParse::kNeedMore;
  out->host.assign(reinterpret_cast<const char*>(p + 5), len);
  if (out->host.find('\0') != std::string::npos) return SocksParse::kInvalid;
  out->port = static_cast<uint16_t>((p[5 + len] << 8) | p[6 + len]);
  *consumed = 7 + len;
  return SocksParse::kComplete;
}

void Socks4Granted(uint8_t out[8], uint32_t address, uint16_t port) {
  out[0] = 0;
  out[1] = 90;
  PutPort(out + 2, port);
  std::memcpy(out + 4, &address, 4);
}

void Socks4Rejected(uint8_t out[8]) {
  std::memset(out, 0, 8);
  out[1] = 91;
}

void Socks5Succeeded(uint8_t out[10], uint32_t address, uint16_t port) {
  out[0] = 5;
  out[1] = 0;
  out[2] = 0;
  out[3] = 1;
  std::memcpy(out + 4, &address, 4);
  PutPort(out + 8, port);
}

void Socks5CommandNotSupported(uint8_t out[10]) {
  std::memset(out, 0, 10);
  out[0] = 5;
  out[1] = 7;
}

void Socks5Failed(uint8_t out[10], uint8_t code) {
  std::memset(out, 0, 10);
  out[0] = 5;
  out[1] = code;
  out[3] = 1;
}

}  // namespace tw
