#include "platform/base64.h"

#include <cstdint>
#include <utility>

namespace tw {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    uint32_t v = (static_cast<uint8_t>(data[i]) << 16) | (static_cast<uint8_t>(data[i + 1]) << 8) |
                 static_cast<uint8_t>(data[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = data.size() - i;
  if (rest == 0) return out;
  uint32_t v = static_cast<uint8_t>(data[i]) << 16;
  if (rest == 2) v |= static_cast<uint8_t>(data[i + 1]) << 8;
  out += kAlphabet[(v >> 18) & 63];
  out += kAlphabet[(v >> 12) & 63];
  out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
  out += '=';
  return out;
}

bool Base64Decode(std::string_view text, std::string* out) {
  out->clear();
  size_t padding = 0;
  while (padding < 2 && !text.empty() && text.back() == '=') {
    text.remove_suffix(1);
    ++padding;
  }
  // Padding only ever completes the last group of four.
  if (padding > 0 && (text.size() + padding) % 4 != 0) return false;
  if (text.size() % 4 == 1) return false;
  std::string result;
  result.reserve(text.size() / 4 * 3 + 2);
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    int s = SextetOf(c);
    if (s < 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(s);
    if (++count == 4) {
      result += static_cast<char>((bits >> 16) & 0xff);
      result += static_cast<char>((bits >> 8) & 0xff);
      result += static_cast<char>(bits & 0xff);
      bits = 0;
      count = 0;
    }
  }
  if (count == 2) {
    result += static_cast<char>((bits >> 4) & 0xff);
  } else if (count == 3) {
    result += static_cast<char>((bits >> 10) & 0xff);
    result += static_cast<char>((bits >> 2) & 0xff);
  }
  *out = std::move(result);
  return true;
}

}  // namespace tw
