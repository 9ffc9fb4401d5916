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

}  // namespace

ProxyProtocol ProtocolFor(int32_t protocolId) {
  switch (protocolId) {
    case kProtocolHttp:
      return {&HttpHandler, nullptr, 10};
    case kProtocolFtp:
      return {&FtpHandler, kFtpGreeting, 4};
    case kProtocolPop3:
      return {&Pop3Handler, kPop3Greeting, 4};
    case kProtocolSmtp:
      return {&SmtpHandler, kSmtpGreeting, 4};
    case kProtocolSocks:
      return {&SocksHandler, nullptr, 4};
    default:
      return {};
  }
}

}  // namespace tw
