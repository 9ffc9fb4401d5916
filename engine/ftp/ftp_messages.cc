#include "engine/ftp/ftp_messages.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/address_text.h"
#include "platform/ascii_text.h"

namespace tw {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A decimal number of 1 to `digits` digits no larger than max; the whole text must be digits.
bool ParseNumber(std::string_view s, size_t digits, uint32_t max, uint32_t* out) {
  if (s.empty() || s.size() > digits) return false;
  uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > max) return false;
  *out = v;
  return true;
}

// The verb of a line: its first word, up to a blank or the line end.
// The verb of a command line; blanks before it are skipped, as servers skip them.
std::string_view VerbOf(std::string_view line) {
  while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
  size_t end = 0;
  while (end < line.size() && !IsBlank(line[end])) ++end;
  return line.substr(0, end);
}

bool VerbIs(std::string_view verb, std::string_view upper) {
  return EqualsNoCase(verb, upper);
}

constexpr std::string_view kRefusedVerbs[] = {"EPSV", "EPRT", "LPSV", "LPRT", "AUTH"};
constexpr std::string_view kPassiveCode = "227 ";

std::string FormatHostPort(const char* format, std::string_view dotted, uint16_t port) {
  uint32_t address;
  if (!ParseIPv4(dotted, &address)) return "";
  const uint8_t* a = reinterpret_cast<const uint8_t*>(&address);
  char out[96];
  std::snprintf(out, sizeof out, format, a[0], a[1], a[2], a[3], port / 256, port % 256);
  return out;
}

}  // namespace

size_t FtpLineEnd(const char* p, size_t n) {
  const void* nl = std::memchr(p, '\n', n);
  return nl == nullptr ? 0 : static_cast<size_t>(static_cast<const char*>(nl) - p) + 1;
}

FtpCommand ParseFtpCommand(std::string_view line) {
  line = Trim(line);
  FtpCommand c;
  std::string_view verb = VerbOf(line);
  c.verb.reserve(verb.size());
  for (char ch : verb) c.verb.push_back(Upper(ch));
  c.argument = std::string(Trim(line.substr(verb.size())));
  return c;
}

bool SplitUserAtHost(std::string_view argument, std::string* user, std::string* destination) {
  size_t at = argument.rfind('@');
  if (at == std::string_view::npos) return false;
  *user = std::string(argument.substr(0, at));
  *destination = std::string(Trim(argument.substr(at + 1)));
  return true;
}

FtpDestinationParse ParseFtpDestination(std::string_view destination, std::string* host,
                                        uint16_t* port) {
  destination = Trim(destination);
  if (destination.empty()) return FtpDestinationParse::kEmpty;
  size_t colon = destination.rfind(':');
  if (colon == std::string_view::npos || colon == 0) {
    *host = std::string(destination);
    *port = 21;
    return FtpDestinationParse::kOk;
  }
  uint16_t p;
  if (!ParsePortText(destination.substr(colon + 1), &p)) return FtpDestinationParse::kBadPort;
  *host = std::string(destination.substr(0, colon));
  *port = p;
  return FtpDestinationParse::kOk;
}

bool ParseHostPort(std::string_view text, uint32_t* address, uint16_t* port) {
  uint32_t part[6];
  for (int i = 0; i < 6; ++i) {
    size_t comma = text.find(',');
    if ((i < 5) == (comma == std::string_view::npos)) return false;  // exactly five commas
    std::string_view field = Trim(text.substr(0, comma));
    if (!ParseNumber(field, 3, 255, &part[i])) return false;
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
  }
  uint8_t bytes[4] = {static_cast<uint8_t>(part[0]), static_cast<uint8_t>(part[1]),
                      static_cast<uint8_t>(part[2]), static_cast<uint8_t>(part[3])};
  std::memcpy(address, bytes, 4);
  *port = static_cast<uint16_t>(part[4] * 256 + part[5]);
  return true;
}

bool ParsePassiveReply(std::string_view line, uint32_t* address, uint16_t* port) {
  if (!StartsWithNoCase(line, kPassiveCode)) return false;
  line = Trim(line.substr(kPassiveCode.size()));
  size_t open = line.find('(');
  if (open != std::string_view::npos) {
    size_t close = line.find(')', open);
    if (close == std::string_view::npos) return false;
    return ParseHostPort(line.substr(open + 1, close - open - 1), address, port);
  }
  size_t first = line.find_first_of("0123456789");
  if (first == std::string_view::npos) return false;
  std::string_view numbers = line.substr(first);
  // A trailing "." or other text after the last number is not part of it.
  size_t last = numbers.find_last_of("0123456789");
  return ParseHostPort(numbers.substr(0, last + 1), address, port);
}

bool ParsePortCommand(std::string_view line, uint32_t* address, uint16_t* port) {
  FtpCommand c = ParseFtpCommand(line);
  if (c.verb != "PORT") return false;
  return ParseHostPort(c.argument, address, port);
}

std::string FormatPassiveReply(std::string_view dotted, uint16_t port) {
  return FormatHostPort("227 Entering Passive Mode (%d,%d,%d,%d,%d,%d)\r\n", dotted, port);
}

std::string FormatPortCommand(std::string_view dotted, uint16_t port) {
  return FormatHostPort("PORT %d,%d,%d,%d,%d,%d\r\n", dotted, port);
}

FtpLineKind ClassifyFtpLine(std::string_view line, bool fromServer) {
  if (fromServer) {
    return StartsWithNoCase(line, kPassiveCode) ? FtpLineKind::kPassiveReply
                                                : FtpLineKind::kOrdinary;
  }
  std::string_view verb = VerbOf(line);
  if (VerbIs(verb, "PORT")) return FtpLineKind::kPortCommand;
  for (std::string_view refused : kRefusedVerbs) {
    if (VerbIs(verb, refused)) return FtpLineKind::kRefused;
  }
  return FtpLineKind::kOrdinary;
}

bool FtpLineMayNeedRewrite(std::string_view start, bool fromServer) {
  if (fromServer) {
    size_t n = std::min(start.size(), kPassiveCode.size());
    return StartsWithNoCase(start.substr(0, n), kPassiveCode.substr(0, n));
  }
  while (!start.empty() && IsBlank(start.front())) start.remove_prefix(1);
  if (start.empty()) return true;  // only blanks so far: the verb is still to come
  std::string_view verb = VerbOf(start);
  bool complete = verb.size() < start.size();  // a blank or line end follows the verb
  auto matches = [&](std::string_view special) {
    if (complete) return VerbIs(verb, special);
    return verb.size() <= special.size() && StartsWithNoCase(verb, special.substr(0, verb.size()));
  };
  if (matches("PORT")) return true;
  for (std::string_view refused : kRefusedVerbs) {
    if (matches(refused)) return true;
  }
  return false;
}

bool ParseEchoedAddress(std::string_view body, std::string* address) {
  constexpr std::string_view kPrefix = "Your IP:";
  if (body.substr(0, kPrefix.size()) != kPrefix) return false;
  std::string_view rest = Trim(body.substr(kPrefix.size()));
  uint32_t parsed;
  if (!ParseIPv4(rest, &parsed)) return false;
  *address = std::string(rest);
  return true;
}

}  // namespace tw
