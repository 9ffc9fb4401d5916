#include "engine/ftp/ftp_proxy.h"
#include "engine/http/http_proxy.h"
#include "engine/mail/pop3_proxy.h"
#include "engine/core/proxy_server.h"
#include "engine/mail/smtp_proxy.h"
#include "engine/socks/socks_proxy.h"

namespace tw {

// Protocols register their handler here as they are built.
ProtocolHandler HandlerForProtocol(int32_t protocolId) {
  switch (protocolId) {
    case kProtocolHttp:
      return &HttpHandler;
    case kProtocolFtp:
      return &FtpHandler;
    case kProtocolPop3:
      return &Pop3Handler;
    case kProtocolSmtp:
      return &SmtpHandler;
    case kProtocolSocks:
      return &SocksHandler;
    default:
      return nullptr;
  }
}

}  // namespace tw
