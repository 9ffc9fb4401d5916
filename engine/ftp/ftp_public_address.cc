#include "engine/ftp/ftp_public_address.h"

#include <cstring>

#include "engine/core/destination.h"
#include "engine/core/proxy_server.h"
#include "engine/ftp/ftp_messages.h"
#include "engine/ftp/ftp_proxy.h"

namespace tw {

namespace {

// Ends the lookup: the control context gets the address (or "") and goes on.
void Finish(IoContext* x, const std::string& address) {
  IoContext* control = RecordOf<FtpEchoRecord>(x).control;
  RecordOf<FtpRecord>(control).publicAddress.Set(address);
  CloseContext(x);
  ResumeAfterAddressLookup(control);
}

}  // namespace

bool ParseEchoServer(std::string_view text, std::string* host, uint16_t* port) {
  if (ParseFtpDestination(text, host, port) != FtpDestinationParse::kOk) return false;
  if (text.find(':') == std::string_view::npos || text.front() == ':') *port = 80;
  return !host->empty();
}

std::string EchoRequest(std::string_view host) {
  std::string r = "GET /myip.php HTTP/1.0\r\nHost: ";
  r += host;
  r += "\r\nUser-Agent: ZiZoviduvIr\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n\r\n";
  return r;
}

std::string AddressFromEchoResponse(std::string_view response) {
  size_t body = response.find("\r\n\r\n");
  if (body == std::string_view::npos) return "";
  std::string address;
  if (!ParseEchoedAddress(response.substr(body + 4), &address)) return "";
  return address;
}

bool StartPublicAddressLookup(IoContext* control) {
  std::string host;
  uint16_t port = 0;
  if (!ParseEchoServer(control->server->ftp().addressEchoHost, &host, &port)) return false;
  IoContext* x = NewClientContext(control->server, kNoSocket);
  if (x == nullptr) return false;
  x->state = kFtpEchoConnecting;
  FtpEchoRecord& r = RecordOf<FtpEchoRecord>(x);
  r.control = control;
  r.host.Set(host);
  if (!ConnectDestination(x, host, port, ConnectFor::kOperator)) {
    CloseContext(x);
    return false;
  }
  return true;
}

void PublicAddressLookupStep(IoContext* x, uint32_t bytes) {
  CompletionPort* port = Port(x);
  switch (x->state) {
    case kFtpEchoConnecting:
      if (x->overlapped.op == IoOp::kResolve) {
        if (!ConnectResolved(x, bytes, ConnectFor::kOperator)) Finish(x, "");
        return;
      }
      if (x->overlapped.op != IoOp::kConnect || x->overlapped.error != 0) {
        Finish(x, "");
        return;
      }
      {
        x->socket = TakeConnectedSocket(x);
        std::string request = EchoRequest(RecordOf<FtpEchoRecord>(x).host.c_str());
        if (request.size() > kIoBufferSize) {
          Finish(x, "");
          return;
        }
        std::memcpy(x->buffer, request.data(), request.size());
        x->state = kFtpEchoSending;
        if (!port->PostSend(x->socket, &x->overlapped, x->buffer,
                            static_cast<uint32_t>(request.size()))) {
          Finish(x, "");
        }
      }
      return;
    case kFtpEchoSending:
      if (bytes == 0) {
        Finish(x, "");
        return;
      }
      x->state = kFtpEchoReading;
      x->held = 0;
      break;
    case kFtpEchoReading:
      if (x->overlapped.op != IoOp::kRead || bytes == 0) {  // the server's close ends the page
        Finish(x, AddressFromEchoResponse(std::string_view(x->buffer, x->held)));
        return;
      }
      x->held += bytes;
      break;
    default:
      Finish(x, "");
      return;
  }
  // One byte stays free so a full buffer ends the page rather than the read.
  if (x->held + 1 >= kIoBufferSize ||
      !port->PostRead(x->socket, &x->overlapped, x->buffer + x->held, kIoBufferSize - 1 - x->held,
                      x->server->connectTimeoutMs())) {
    Finish(x, AddressFromEchoResponse(std::string_view(x->buffer, x->held)));
  }
}

}  // namespace tw
