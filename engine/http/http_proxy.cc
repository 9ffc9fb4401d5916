#include "engine/http/http_proxy.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "config/activity_log.h"
#include "engine/core/destination.h"
#include "engine/core/dialogue.h"
#include "engine/core/proxy_server.h"
#include "engine/http/ftp_gateway_jobs.h"
#include "engine/http/ftp_listing_page.h"
#include "engine/http/http_messages.h"
#include "engine/policy/authorization.h"
#include "platform/address_text.h"
#include "platform/tick.h"

namespace tw {

namespace {

// The answer to a destination the policy refuses (a name that resolves home as well).
const std::string& DestinationForbiddenReply() {
  static const std::string reply = [] {
    std::string_view page =
        "<html><body><h1>403 Forbidden</h1>Destination not allowed.</body></html>\r\n";
    return FormatText(
               "HTTP/1.0 403 Forbidden\r\nContent-Type: text/html\r\n"
               "Content-Length: %zu\r\nConnection: close\r\n\r\n",
               page.size()) +
           std::string(page);
  }();
  return reply;
}

// A short reply of the proxy's own (it fits the buffer); the connection closes after it.
void SendOwnReply(IoContext* x, std::string_view text) {
  SendCopyThenState(x, x->socket, 0, text.substr(0, kIoBufferSize), kHttpReplySent);
}

// A refusal page: the status line from the buffer, then the page straight from the server's
// copy (which outlives every connection of the server).
void SendPage(IoContext* x, const std::string& page) {
  RecordOf<HttpRecord>(x).page = &page;
  SendCopyThenState(x, x->socket, 0, kPageReplyStatus, kHttpPageHeader);
}

void OnPageHeaderSent(IoContext* x, uint32_t bytes) {
  const std::string* page = RecordOf<HttpRecord>(x).page;
  if (x->overlapped.op != IoOp::kSend || bytes == 0 || page->empty()) {
    CloseContext(x);
    return;
  }
  SendThenState(x, x->socket, page->data(), static_cast<uint32_t>(page->size()), kHttpReplySent);
}

// Cuts x loose from the destination of its previous request; that connection is shut down
// and its context ends through its own read.
void DetachPartner(IoContext* x) {
  SocketHandle old = kNoSocket;
  {
    MutexLock lock(x->server->pairMutex());
    if (IoContext* p = x->partner) {
      old = p->socket;
      p->partner = nullptr;
      p->peerSocket.store(kNoSocket);
      x->partner = nullptr;
      x->peerSocket.store(kNoSocket);
    }
  }
  if (old != kNoSocket) Port(x)->Shutdown(old);
}

// Login or guest rule. False when a refusal has been sent; *user is the login name.
bool Admitted(IoContext* x, std::string_view header, const std::string& client, std::string* user,
              int32_t* filter_id) {
  ProxyServer* server = x->server;
  if (server->access().authMode != 1) {
    if (GuestAdmitted(x)) return true;
    SendPage(x, server->http().ipBlockPage);
    return false;
  }
  std::string password;
  int reason = kRefusedNoAccount;
  if (!ParseBasicCredentials(header, user, &password) || LoginBlocked(x, client)) {
    SendOwnReply(x, ProxyAuthRequiredReply());
    return false;
  }
  if (CheckHttpAccount(server->access(), client, *user, password, &x->downloadRate, &x->uploadRate,
                       &reason, filter_id)) {
    return true;
  }
  if (reason == kRefusedNoAccount) {
    LoginFailed(x, client);
    SendOwnReply(x, ProxyAuthRequiredReply());
  } else {
    SendPage(x,
             reason == kRefusedAddress ? server->http().ipBlockPage : server->http().schedulePage);
  }
  return false;
}

bool FilterBlocks(IoContext* x, int32_t filter_id, std::string_view request_line,
                  const HttpDestination& dest) {
  const WebFilterList* filters = x->server->http().webFilters;
  if (filter_id < 1 || filter_id > 100 || filters == nullptr) return false;
  const WebFilter* f = filters->Find(filter_id);
  return f != nullptr && WebFilterBlocks(*f, FilterUrlText(request_line, dest));
}

// True when dest is this proxy itself (a request to it would come back in a loop).
bool IsOwnDestination(IoContext* x, const HttpDestination& dest) {
  std::string named = dest.host;
  if (dest.port != 80) named += ":" + std::to_string(dest.port);
  return IsOwnHttpAddress(x->server->access().localAddresses, x->server->port(), named);
}

void StartFetch(IoContext* x, std::string_view header, const HttpDestination& dest) {
  auto fetch = std::make_unique<FtpFetch>();
  if (!ParseFtpRequest(RequestLine(header), &fetch->request)) {
    // Never silence: a path, user or password over the gateway's limit is too long, anything
    // else that does not decode is a bad request.
    SendOwnReply(x, RequestLine(header).size() > kFtpMaxField
                        ? "HTTP/1.0 414 URI Too Long\r\nContent-Length: 0\r\n\r\n"
                        : "HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
    return;
  }
  fetch->host = dest.host;
  fetch->port = dest.port;
  fetch->limits = FtpGatewayLimitsOf(*x->server);
  fetch->rules = x->server->destinationRules();
  x->state = kHttpFetching;
  x->held = 0;
  StartFtpFetch(x->server->completionPort(), &x->overlapped, std::move(fetch));
}

// A whole header block of header_len bytes is at the start of the buffer, x->held bytes in
// all (the rest is body, or a tunnel's first bytes).
void NewRequest(IoContext* x, size_t header_len) {
  std::string_view header(x->buffer, header_len);
  std::string client = ClientAddress(x);
  std::string user;
  int32_t filter_id = 0;
  if (!Admitted(x, header, client, &user, &filter_id)) return;
  HttpDestination dest;
  if (!ParseDestination(header, &dest)) {
    CloseContext(x);
    return;
  }
  if (IsOwnDestination(x, dest)) {
    CloseContext(x);
    return;
  }
  std::string_view line = RequestLine(header);
  if (FilterBlocks(x, filter_id, line, dest)) {
    SendPage(x, x->server->http().webFilterPage);
    return;
  }
  // The parts go apart: a user name may hold ":" or ",", which a joined text would misplace.
  x->server->activity().Post(ActivityText{LoggedRequestLine(line), client, user});
  DetachPartner(x);
  if (dest.scheme == HttpDestination::kFtp) {
    StartFetch(x, header, dest);
    return;
  }
  if (dest.scheme == HttpDestination::kConnect) {
    // The CONNECT request itself is answered by the proxy; only what follows goes on.
    std::memmove(x->buffer, x->buffer + header_len, x->held - header_len);
    x->held -= static_cast<uint32_t>(header_len);
    RecordOf<HttpRecord>(x).tunnel = true;
  } else {
    std::string rewritten = RewriteRequestHeader(header, dest);
    size_t body = x->held - header_len;
    // An added Host line may not leave room for what followed the header in the buffer.
    if (rewritten.size() + body > kIoBufferSize) {
      CloseContext(x);
      return;
    }
    std::memmove(x->buffer + rewritten.size(), x->buffer + header_len, body);
    std::memcpy(x->buffer, rewritten.data(), rewritten.size());
    x->held = static_cast<uint32_t>(rewritten.size() + body);
    RecordOf<HttpRecord>(x).tunnel = false;
  }
  x->state = kHttpConnecting;
  if (!ConnectDestination(x, dest.host, dest.port)) CloseContext(x);
}

void OnRequestBytes(IoContext* x) {
  size_t header_len = HeaderBlockLength(std::string_view(x->buffer, x->held));
  if (header_len != 0) {
    NewRequest(x, header_len);
    return;
  }
  // A header block that does not fit one buffer is not served.
  if (x->held >= kIoBufferSize) {
    CloseContext(x);
    return;
  }
  DialogueReadStep(x);
}

void RefuseDestination(IoContext* x) {
  SendOwnReply(x, DestinationForbiddenReply());
}

void OnConnected(IoContext* x) {
  bool tunnel = RecordOf<HttpRecord>(x).tunnel;
  IoContext* d = PairConnected(x, tunnel ? kHttpTunnel : kHttpForwarding, kHttpDestination);
  if (d == nullptr) return;
  x->deadlineMs = 0;
  if (tunnel) {
    // The destination context sends the reply; its completion starts the destination's reads,
    // so nothing from the destination can overtake it.
    std::memcpy(d->buffer, kConnectEstablished.data(), kConnectEstablished.size());
    d->wsaBuf.len = static_cast<uint32_t>(kConnectEstablished.size());
    RelaySendStep(d);
  } else {
    RelayReadStep(d);
  }
  uint32_t n = x->held;
  x->held = 0;
  if (n > 0) {
    x->wsaBuf.len = n;
    RelaySendStep(x);
  } else {
    RelayReadStep(x);
  }
}

// A file: the client is paired with the data connection, which sends the status line first.
void ServeFile(IoContext* x, SocketHandle data, int64_t size) {
  IoContext* d = Pair(x, data, kHttpForwarding, kHttpDestination);
  if (d == nullptr) {
    Port(x)->Close(data);
    CloseContext(x);
    return;
  }
  int n = size > 0 ? std::snprintf(d->buffer, kIoBufferSize,
                                   "HTTP/1.0 200 OK\r\nContent-Length: %" PRId64 "\r\n\r\n", size)
                   : std::snprintf(d->buffer, kIoBufferSize, "HTTP/1.0 200 OK\r\n\r\n");
  d->wsaBuf.len = static_cast<uint32_t>(n);
  RelaySendStep(d);
  RelayReadStep(x);
}

void OnFetched(IoContext* x, uint64_t key) {
  FtpFetch* fetch = x->overlapped.op == IoOp::kPosted ? FindFtpFetch(key) : nullptr;
  if (fetch != nullptr && !fetch->refused.empty()) {
    x->server->activity().Post(
        ActivityText{"Refused destination " + fetch->refused, ClientAddress(x), ""});
    EndFtpFetch(key);
    RefuseDestination(x);
    return;
  }
  if (fetch == nullptr || !fetch->ok) {
    if (fetch != nullptr) EndFtpFetch(key);
    CloseContext(x);
    return;
  }
  if (fetch->dataSocket != kNoSocket) {
    SocketHandle data = fetch->dataSocket;
    int64_t size = fetch->fileSize;
    fetch->dataSocket = kNoSocket;
    EndFtpFetch(key);
    ServeFile(x, data, size);
    return;
  }
  std::string page = ListingToHtml(fetch->listing, fetch->request.path);
  fetch->listing.clear();
  fetch->reply = FormatText("HTTP/1.0 200 OK\r\nContent-Length: %zu\r\n\r\n", page.size());
  fetch->reply += page;
  RecordOf<HttpRecord>(x).fetchId = key;
  x->state = kHttpDirectoryPage;
  if (!Port(x)->PostSend(x->socket, &x->overlapped, fetch->reply.data(),
                         static_cast<uint32_t>(fetch->reply.size()))) {
    EndFtpFetch(key);
    CloseContext(x);
  }
}

bool IsClientRead(IoContext* x, uint64_t key, uint32_t bytes) {
  return x->overlapped.op == IoOp::kRead && key == static_cast<uint64_t>(x->socket) && bytes > 0;
}

}  // namespace

void HttpHandler(IoContext* x, uint64_t key, uint32_t bytes) {
  switch (x->state) {
    case kHttpDestination:
    case kHttpTunnel:
      Relay(x, key, bytes);
      return;
    case kHttpReplySent:
      CloseContext(x);
      return;
    case kHttpPageHeader:
      OnPageHeaderSent(x, bytes);
      return;
    case kHttpDirectoryPage:
      EndFtpFetch(RecordOf<HttpRecord>(x).fetchId);
      CloseContext(x);
      return;
    case kHttpConnecting:
      if (ConnectStep(x, bytes, nullptr, &RefuseDestination)) OnConnected(x);
      return;
    case kHttpFetching:
      OnFetched(x, key);
      return;
    case kHttpForwarding:
      if (IsClientRead(x, key, bytes) && StartsWithMethod(std::string_view(x->buffer, bytes))) {
        x->held = bytes;
        x->state = kHttpRequest;
        uint32_t limit = x->server->dialogueTimeoutMs();
        x->deadlineMs = limit != 0 ? MonotonicMs() + limit : 0;
        OnRequestBytes(x);
        return;
      }
      Relay(x, key, bytes);
      return;
    case kHttpRequest:
      if (TakeDialogueRead(x, key, bytes)) OnRequestBytes(x);
      return;
    default:
      CloseContext(x);
  }
}

}  // namespace tw
