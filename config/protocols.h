// The five proxies' ids and the names every text spells them with. The ids are the server
// table's ids and the "server%d" account columns, so they never change. The texts spell the
// same proxy differently ("Http Proxy Server started", "HTTP Proxy Server started on",
// "Error starting the SOCKS proxy server"): each spelling is one column of one table here.
// Pure data, safe from any thread.
#pragma once

#include <cstdint>

namespace tw {

enum ProtocolId : std::int32_t {
  kProtocolHttp = 1,
  kProtocolFtp = 2,
  kProtocolPop3 = 3,
  kProtocolSmtp = 4,
  kProtocolSocks = 5,
};

constexpr std::int32_t kFirstProtocol = kProtocolHttp;
constexpr std::int32_t kLastProtocol = kProtocolSocks;

constexpr bool ValidProtocol(std::int32_t id) {
  return id >= kFirstProtocol && id <= kLastProtocol;
}

struct ProtocolNames {
  const char* log;      // whole-set start lines and a single stop: "Http", "Socks"
  const char* started;  // a single start: "HTTP", "FTP", "Pop3", "Smtp", "Socks"
  const char* failed;   // a single start that failed: "HTTP", "FTP", "Pop3", "Smtp", "SOCKS"
  const char* upper;    // listening lines and settings sections: "HTTP", "POP3", "SOCKS"
  const char* lower;    // labels of the monitoring figures: "http", "pop3", "socks"
};

// The names of a valid id; an invalid id gets empty texts.
const ProtocolNames& NamesOf(std::int32_t id);

}  // namespace tw
