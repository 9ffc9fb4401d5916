#include "engine/proxy_protocols.h"

#include "engine/ftp/ftp_proxy.h"
#include "engine/http/http_proxy.h"
#include "engine/mail/pop3_proxy.h"
#include "engine/mail/smtp_proxy.h"
#include "engine/socks/socks_proxy.h"

namespace tw {

namespace {

constexpr char kFtpGreeting[] = "220 welcome to Tarnwick Proxy Server\r\n";
constexpr char kPop3Greeting[] = "+OK welcome to Tarnwick Proxy Server\r\n";
constexpr char kSmtpGreeting[] = "220 welcome to Tarnwick Proxy Server\r\n";

// What a client over a connection cap reads before the proxy closes (SOCKS has no reply
// before the client's request, so its clients are closed without one).
constexpr char kHttpBusy[] =
    "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 21\r\n"
    "Connection: close\r\n\r\nToo many connections\n";
constexpr char kFtpBusy[] = "421 Too many connections, try again later.\r\n";
constexpr char kPop3Busy[] = "-ERR Too many connections, try again later.\r\n";
constexpr char kSmtpBusy[] = "421 Too many connections, try again later.\r\n";

}  // namespace

ProxyProtocol ProtocolFor(int32_t protocolId) {
  switch (protocolId) {
    case kProtocolHttp:
      return {&HttpHandler, nullptr, 10, kHttpBusy};
    case kProtocolFtp:
      return {&FtpHandler, kFtpGreeting, 4, kFtpBusy};
    case kProtocolPop3:
      return {&Pop3Handler, kPop3Greeting, 4, kPop3Busy};
    case kProtocolSmtp:
      return {&SmtpHandler, kSmtpGreeting, 4, kSmtpBusy};
    case kProtocolSocks:
      return {&SocksHandler, nullptr, 4};
    default:
      return {};
  }
}

}  // namespace tw
