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
#include "engine/http/http_body_framing.h"
#include "engine/http/http_messages.h"
#include "engine/http/http_request_head.h"
#include "engine/http/http_response_framing.h"
#include "engine/policy/authorization.h"
#include "platform/address_text.h"
#include "platform/ascii_text.h"
#include "platform/socket_options.h"
#include "platform/tick.h"

namespace tw {

namespace {

// A short page of the proxy's own with its status; the connection closes after it.
std::string OwnPageReply(std::string_view status, std::string_view text) {
  std::string page =
      "<html><body><h1>" + std::string(status) + "</h1>" + std::string(text) + "</body></html>\r\n";
  return FormatText(
             "HTTP/1.0 %.*s\r\nContent-Type: text/html\r\n"
             "Content-Length: %zu\r\nConnection: close\r\n\r\n",
             static_cast<int>(status.size()), status.data(), page.size()) +
         page;
}

// The answer to a destination the policy refuses (a name that resolves home, or the proxy
// itself, as well).
const std::string& DestinationForbiddenReply() {
  static const std::string reply = OwnPageReply("403 Forbidden", "Destination not allowed.");
  return reply;
}

// The answer to a destination whose name did not resolve in time or that could not be
// connected: the request never reached it, whatever the cause.
const std::string& BadGatewayReply() {
  static const std::string reply =
      OwnPageReply("502 Bad Gateway", "The destination could not be reached.");
  return reply;
}

// A head that does not fit the buffer is not served.
const std::string& HeadTooLargeReply() {
  static const std::string reply =
      OwnPageReply("431 Request Header Fields Too Large", "The request head is too large.");
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
// and its context ends through its own read, or, kept idle between requests, is woken to end.
void DetachPartner(IoContext* x) {
  SocketHandle old = kNoSocket;
  IoContext* wake = nullptr;
  {
    MutexLock lock(x->server->pairMutex());
    if (IoContext* p = x->partner) {
      old = p->socket;
      p->partner = nullptr;
      p->peerSocket.store(kNoSocket);
      x->partner = nullptr;
      x->peerSocket.store(kNoSocket);
      if (p->idle) {
        p->idle = false;
        wake = p;
      }
    }
  }
  if (wake != nullptr) {
    Port(x)->Post(0, static_cast<uint64_t>(wake->socket), &wake->overlapped);
  } else if (old != kNoSocket) {
    Port(x)->Shutdown(old);
  }
}

// The destination connection kept from x's previous request when it serves dest (same host and
// port, still open and quiet): it stays paired with x and idle, and x may take it over. nullptr
// otherwise.
IoContext* KeptDestinationFor(IoContext* x, const HttpDestination& dest) {
  const HttpRecord& r = RecordOf<HttpRecord>(x);
  if (dest.scheme != HttpDestination::kHttp || dest.port != r.destPort ||
      !EqualsNoCase(dest.host, r.destHost)) {
    return nullptr;
  }
  IoContext* d;
  {
    MutexLock lock(x->server->pairMutex());
    d = x->partner;
    if (d == nullptr || !d->idle || d->state != kHttpKept) return nullptr;
  }
  // A kept context waits for x alone (only x wakes it), so it stays as it is outside the lock.
  return SocketOpenAndQuiet(Port(x)->Descriptor(d->socket)) ? d : nullptr;
}

// Records under the pair lock that the request's last bytes are on their way to the
// destination (or, with false, that a new request begins).
void MarkRequestWhole(IoContext* x, bool whole) {
  MutexLock lock(x->server->pairMutex());
  RecordOf<HttpRecord>(x).requestWhole = whole;
}

// Sends the rewritten head to the destination x is paired with.
void KeptSendFailed(IoContext* x);

// Sends the rewritten head to the destination x is paired with. A kept destination may have
// closed meanwhile: that failure is the kept connection's (the request may go again), not the
// client's.
void SendRequestHead(IoContext* x) {
  HttpRecord& r = RecordOf<HttpRecord>(x);
  if (BodyEnded(r.body)) MarkRequestWhole(x, true);
  x->state = kHttpRequestHead;
  if (Port(x)->PostSend(x->peerSocket.load(), &x->overlapped, r.head.data(),
                        static_cast<uint32_t>(r.head.size()))) {
    return;
  }
  if (r.reused) {
    KeptSendFailed(x);
  } else {
    CloseContext(x);
  }
}

// Starts a request's exchange with destination context d, paired with x and without an
// operation: d reads the response while x sends the request. reused: d was kept from an
// earlier request.
void StartExchange(IoContext* x, IoContext* d, bool reused) {
  HttpRecord& r = RecordOf<HttpRecord>(x);
  HttpRecord& dr = RecordOf<HttpRecord>(d);
  StartResponse(&dr.response, r.headRequest);
  dr.responseBegun = false;
  dr.trailing = false;
  dr.reused = reused;
  r.reused = reused;
  if (reused) {
    {
      MutexLock lock(x->server->pairMutex());
      d->idle = false;
    }
    // The login of this request may carry other rates than the one the connection was made for.
    d->downloadRate.store(x->downloadRate.load(std::memory_order_relaxed), std::memory_order_relaxed);
    d->uploadRate.store(x->uploadRate.load(std::memory_order_relaxed), std::memory_order_relaxed);
    d->state = kHttpResponse;
    MarkActive(d, 0);
  }
  x->deadlineMs = 0;
  RelayReadStep(d);
  SendRequestHead(x);
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
  int32_t down = x->downloadRate;
  int32_t up = x->uploadRate;
  bool admitted = CheckHttpAccount(server->access(), client, *user, password, &down, &up, &reason,
                                   filter_id);
  x->downloadRate = down;
  x->uploadRate = up;
  LoginChecked(x, client, admitted, reason);
  if (admitted) return true;
  if (reason == kRefusedNoAccount) {
    SendOwnReply(x, ProxyAuthRequiredReply());
  } else {
    SendPage(x,
             reason == kRefusedAddress ? server->http().ipBlockPage : server->http().schedulePage);
  }
  return false;
}

bool FilterBlocks(IoContext* x, int32_t filter_id, std::string_view request_line,
                  const HttpDestination& dest) {
  const WebFilterList* filters = x->server->http().webFilters.get();
  // Filters are found by record id, so an id above 100 (a table whose early records were
  // deleted) still applies; the list itself holds at most the first 100 filters.
  if (filter_id < 1 || filters == nullptr) return false;
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
                        : kBadRequestReply);
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

void OnRequestBytes(IoContext* x);

// A request's head has been checked and taken from the buffer; x->held bytes follow it (body,
// later requests, or a tunnel's first bytes).
void NewRequest(IoContext* x, const RequestHead& request) {
  const std::string& header = request.text;
  std::string client = ClientAddress(x);
  std::string user;
  int32_t filter_id = 0;
  if (!Admitted(x, header, client, &user, &filter_id)) return;
  HttpDestination dest;
  if (!ParseDestination(header, &dest)) {
    // No host or port the proxy could go to (empty, malformed, port outside 1-65535).
    SendOwnReply(x, kBadRequestReply);
    return;
  }
  // A request to the proxy itself would come back to it without end: refused like any other
  // destination the proxy may not reach, so the client learns why.
  if (IsOwnDestination(x, dest)) {
    x->server->PostDestinationRefusal(dest.host + ":" + std::to_string(dest.port), client);
    SendOwnReply(x, DestinationForbiddenReply());
    return;
  }
  std::string_view line = RequestLine(header);
  if (FilterBlocks(x, filter_id, line, dest)) {
    x->server->counters().Refused(Refusal::kWebFilter);
    SendPage(x, x->server->http().webFilterPage);
    return;
  }
  // The parts go apart: a user name may hold ":" or ",", which a joined text would misplace.
  if (x->server->activity().Wanted()) {
    x->server->activity().Post(ActivityText{LoggedRequestLine(line), client, user});
  }
  NoteUser(x, user, header.size() + x->held);
  NoteDestination(x, dest.host, dest.port);
  IoContext* kept = KeptDestinationFor(x, dest);
  if (kept == nullptr) DetachPartner(x);
  if (dest.scheme == HttpDestination::kFtp) {
    StartFetch(x, header, dest);
    return;
  }
  HttpRecord& r = RecordOf<HttpRecord>(x);
  r.tunnel = dest.scheme == HttpDestination::kConnect;
  if (!r.tunnel) {
    r.head = RewriteRequestHeader(header, dest);
    r.headRequest = request.head;
    r.closeAfter = request.close;
    r.retryable = request.body == kBodyNone && IdempotentMethod(line);
    StartBody(&r.body, request.body, request.length);
  }
  r.responseEnded = false;
  r.responseCloses = false;
  r.upgraded = false;
  r.retry = false;
  r.destHost = dest.host;
  r.destPort = dest.port;
  MarkRequestWhole(x, false);
  if (kept != nullptr) {
    StartExchange(x, kept, true);
    return;
  }
  StartDestinationConnect(x, dest.host, dest.port, kHttpConnecting, ConnectBuffer::kHeldOnly);
}

// A complete head of head_len bytes is at the start of the buffer: it is checked, then taken
// out of the buffer whatever follows.
void TakeRequestHead(IoContext* x, uint32_t head_len) {
  RequestHead request;
  bool ok = ReadRequestHead(std::string_view(x->buffer, head_len), &request);
  std::memmove(x->buffer, x->buffer + head_len, x->held - head_len);
  x->held -= head_len;
  RecordOf<HttpRecord>(x).checked = 0;
  if (!ok) {
    SendOwnReply(x, kBadRequestReply);
    return;
  }
  NewRequest(x, request);
}

void OnRequestBytes(IoContext* x) {
  HttpRecord& r = RecordOf<HttpRecord>(x);
  switch (ScanRequestHead(std::string_view(x->buffer, x->held), &r.checked)) {
    case HeadScan::kBad:
      SendOwnReply(x, kBadRequestReply);
      return;
    case HeadScan::kComplete:
      TakeRequestHead(x, r.checked);
      return;
    case HeadScan::kIncomplete:
      break;
  }
  if (x->held >= kIoBufferSize) {
    SendOwnReply(x, HeadTooLargeReply());
    return;
  }
  // A request begun on an idle connection has the dialogue's time to arrive whole.
  uint32_t limit = x->server->dialogueTimeoutMs();
  if (x->deadlineMs == 0 && limit != 0) x->deadlineMs = MonotonicMs() + limit;
  DialogueReadStep(x);
}

void RefuseDestination(IoContext* x, ConnectFailure failure) {
  SendOwnReply(
      x, failure == ConnectFailure::kRefused ? DestinationForbiddenReply() : BadGatewayReply());
}

// The client's next request, once the previous one has been answered whole: from the bytes
// already held, else from a read without a time limit (the connection may idle between
// requests), which like a new client's first read holds no buffer while it waits.
void NextRequest(IoContext* x) {
  x->state = kHttpRequest;
  x->deadlineMs = 0;
  RecordOf<HttpRecord>(x).checked = 0;
  std::string().swap(RecordOf<HttpRecord>(x).head);
  if (x->held > 0) {
    OnRequestBytes(x);
  } else {
    RelayReadStep(x);
  }
}

// The response switched protocols: from now on the client's bytes go on raw, beginning with
// those already held.
void StartClientTunnel(IoContext* x) {
  x->state = kHttpTunnel;
  uint32_t n = x->held;
  x->held = 0;
  if (n > 0) {
    x->wsaBuf.len = n;
    RelaySendStep(x);
  } else {
    RelayReadStep(x);
  }
}

enum class AfterRequest { kNext, kTunnel, kClose, kWait, kRetry, kBadGateway };

// What the client context does once its request has gone whole to the destination: the next
// request waits until the response has ended. REQUIRES: the pair lock held.
AfterRequest DecideAfterRequest(IoContext* x) REQUIRES(x->server->pairMutex()) {
  const HttpRecord& r = RecordOf<HttpRecord>(x);
  if (r.upgraded) return AfterRequest::kTunnel;
  // A kept connection the server closed unanswered: the request goes again on a new one when
  // sending it twice does no harm; otherwise the client hears that it did not get through.
  if (r.retry) return r.retryable ? AfterRequest::kRetry : AfterRequest::kBadGateway;
  // A connection the request or its response said ends with the response is closed, as its
  // client expects (a client reading to the close would otherwise wait forever).
  if (r.responseEnded) {
    return r.closeAfter || r.responseCloses ? AfterRequest::kClose : AfterRequest::kNext;
  }
  if (x->partner == nullptr) return AfterRequest::kClose;
  return AfterRequest::kWait;
}

// The request's kept destination closed before answering: the same head goes once more, on a
// new connection (which is never retried).
void RetryRequest(IoContext* x) {
  HttpRecord& r = RecordOf<HttpRecord>(x);
  r.retry = false;
  r.reused = false;
  r.responseEnded = false;
  r.responseCloses = false;
  MarkRequestWhole(x, false);
  StartDestinationConnect(x, r.destHost, r.destPort, kHttpConnecting, ConnectBuffer::kHeldOnly);
}

void ContinueAfterRequest(IoContext* x, AfterRequest next) {
  switch (next) {
    case AfterRequest::kNext:
      NextRequest(x);
      return;
    case AfterRequest::kTunnel:
      StartClientTunnel(x);
      return;
    case AfterRequest::kClose:
      CloseContext(x);
      return;
    case AfterRequest::kWait:
      return;
    case AfterRequest::kRetry:
      RetryRequest(x);
      return;
    case AfterRequest::kBadGateway:
      SendOwnReply(x, BadGatewayReply());
      return;
  }
}

// The request (head and body) has reached the destination. Unless its response has already
// ended, x waits idle, with no operation outstanding, until the destination context wakes it.
void RequestSent(IoContext* x) {
  AfterRequest next;
  {
    MutexLock lock(x->server->pairMutex());
    next = DecideAfterRequest(x);
    if (next == AfterRequest::kWait) {
      x->state = kHttpAwaitResponse;
      x->idle = true;
      return;
    }
  }
  ContinueAfterRequest(x, next);
}

// x, which waited without an operation and has just been taken out of its wait, goes on after
// its response.
void ResumeAfterResponse(IoContext* x) {
  AfterRequest next;
  {
    MutexLock lock(x->server->pairMutex());
    next = DecideAfterRequest(x);
  }
  ContinueAfterRequest(x, next == AfterRequest::kWait ? AfterRequest::kClose : next);
}

// Woken after waiting for the response (or because the destination is gone).
void OnResponseAwaited(IoContext* x) {
  if (x->overlapped.op != IoOp::kPosted) {
    CloseContext(x);
    return;
  }
  ResumeAfterResponse(x);
}

// A send of the request to a kept destination failed: that connection is shut down, and its
// context, reading the response, tells whether anything came back (the request may then go
// again). x waits for that without an operation.
void KeptSendFailed(IoContext* x) {
  CompletionPort* port = Port(x);
  SocketHandle peer = kNoSocket;
  AfterRequest next;
  {
    MutexLock lock(x->server->pairMutex());
    next = DecideAfterRequest(x);
    if (next == AfterRequest::kWait) {
      peer = x->partner->socket;
      x->state = kHttpAwaitResponse;
      x->idle = true;
    }
  }
  if (next == AfterRequest::kWait) {
    port->Shutdown(peer);
    return;
  }
  ContinueAfterRequest(x, next == AfterRequest::kNext ? AfterRequest::kClose : next);
}

// Sends on the part of the held bytes that belongs to the request body; reads more of it when
// none are held. The bytes after the body stay held for the next request.
void SendBodyStep(IoContext* x) {
  HttpRecord& r = RecordOf<HttpRecord>(x);
  if (BodyEnded(r.body)) {
    RequestSent(x);
    return;
  }
  x->state = kHttpRequestBody;
  if (x->held == 0) {
    RelayReadStep(x);
    return;
  }
  size_t used = 0;
  if (TakeBody(&r.body, std::string_view(x->buffer, x->held), &used) == BodyProgress::kBad ||
      used == 0) {
    CloseContext(x);
    return;
  }
  if (r.reused && x->peerSocket.load() == kClosedPeer) {
    KeptSendFailed(x);
    return;
  }
  if (BodyEnded(r.body)) MarkRequestWhole(x, true);
  RelayBytes(x, static_cast<uint32_t>(used));
}

void OnRequestBodyStep(IoContext* x, uint64_t key, uint32_t bytes) {
  switch (x->overlapped.op) {
    case IoOp::kRead:
      if (key != static_cast<uint64_t>(x->socket) || bytes == 0) break;
      x->held = bytes;
      SendBodyStep(x);
      return;
    case IoOp::kTimer:
      RelaySendStep(x);
      return;
    case IoOp::kSend: {
      if (bytes == 0 && RecordOf<HttpRecord>(x).reused) {
        KeptSendFailed(x);
        return;
      }
      if (bytes == 0) break;
      uint32_t sent = x->wsaBuf.len;
      std::memmove(x->buffer, x->buffer + sent, x->held - sent);
      x->held -= sent;
      SendBodyStep(x);
      return;
    }
    default:
      break;
  }
  CloseContext(x);
}

void OnRequestHeadSent(IoContext* x, uint32_t bytes) {
  HttpRecord& r = RecordOf<HttpRecord>(x);
  if (x->overlapped.op == IoOp::kSend && bytes == 0 && r.reused) {
    KeptSendFailed(x);
    return;
  }
  if (x->overlapped.op != IoOp::kSend || bytes == 0) {
    CloseContext(x);
    return;
  }
  // A request that may go again keeps its head until the next one.
  if (!(r.reused && r.retryable)) std::string().swap(r.head);
  SendBodyStep(x);
}

// The response has reached the client whole, and the client context goes on with its next
// request. The destination connection is kept, paired and idle, for the client's next request
// when nothing says it ends: the response is framed, neither side asked for the close, the
// request went whole and the server sent nothing beyond the response. Otherwise the
// destination context leaves the pair and closes.
void ResponseEnded(IoContext* d) {
  // The response's last bytes have been sent: a kept connection waits without a buffer (its
  // next response is read by RelayReadStep, which takes one when bytes are there).
  ReleaseIoBuffer(d->buffer);
  d->buffer = nullptr;
  IoContext* wake = nullptr;
  bool keep = false;
  CompletionPort* port = Port(d);
  const HttpRecord& dr = RecordOf<HttpRecord>(d);
  {
    MutexLock lock(d->server->pairMutex());
    if (IoContext* x = d->partner) {
      HttpRecord& r = RecordOf<HttpRecord>(x);
      r.responseEnded = true;
      r.responseCloses = dr.response.close;
      if (x->idle) {
        x->idle = false;
        wake = x;
      }
      keep = !dr.response.close && !dr.trailing && !r.closeAfter && r.requestWhole;
      if (keep) {
        d->state = kHttpKept;
        d->idle = true;
      } else {
        x->partner = nullptr;
        x->peerSocket.store(kNoSocket);
        d->partner = nullptr;
        d->peerSocket.store(kNoSocket);
      }
    }
  }
  if (keep) {
    // Once the lock is released x may take d over: d is not touched after it. x, taken out of
    // its wait, goes on in this worker (a post would only hand it to another one).
    if (wake != nullptr) ResumeAfterResponse(wake);
    return;
  }
  CloseContext(d);
  if (wake != nullptr) port->Post(0, static_cast<uint64_t>(wake->socket), &wake->overlapped);
}

// The response's connection failed. A kept connection that closed before a byte of the
// response came back leaves the pair first and tells the client context, which may send the
// request again; any other failure ends both sides.
void ResponseFailed(IoContext* d) {
  const HttpRecord& dr = RecordOf<HttpRecord>(d);
  IoContext* wake = nullptr;
  if (dr.reused && !dr.responseBegun) {
    MutexLock lock(d->server->pairMutex());
    if (IoContext* x = d->partner) {
      RecordOf<HttpRecord>(x).retry = true;
      if (x->idle) {
        x->idle = false;
        wake = x;
      }
      x->partner = nullptr;
      x->peerSocket.store(kClosedPeer);
      d->partner = nullptr;
      d->peerSocket.store(kNoSocket);
    }
  }
  CompletionPort* port = Port(d);
  CloseContext(d);
  if (wake != nullptr) port->Post(0, static_cast<uint64_t>(wake->socket), &wake->overlapped);
}

// A 101 response has reached the client: both directions are relayed raw from now on.
void ResponseSwitched(IoContext* d) {
  IoContext* wake = nullptr;
  {
    MutexLock lock(d->server->pairMutex());
    if (IoContext* x = d->partner) {
      RecordOf<HttpRecord>(x).upgraded = true;
      if (x->idle) {
        x->idle = false;
        wake = x;
      }
    }
  }
  if (wake != nullptr) {
    Port(d)->Post(0, static_cast<uint64_t>(wake->socket), &wake->overlapped);
  }
  d->state = kHttpDestination;
  RelayReadStep(d);
}

static_assert(kBodyRunsToClose == kNoRawLimit, "a body to the close is an unlimited raw run");

// The next bytes of the response: a body the framing need not look at (a known length, or one
// that runs to the close) is moved by the kernel, exactly as far as it reaches, so a kept
// connection's next response stays on the socket; anything else is read into the buffer, and
// so is a rest that one read takes whole (a pipe costs more than it saves there).
void ReadResponseOn(IoContext* d) {
  uint64_t left = UnframedBodyLeft(RecordOf<HttpRecord>(d).response);
  if (left <= kIoBufferSize) {
    RelayReadStep(d);
    return;
  }
  d->state = kHttpResponseBody;
  RelayRawFor(d, left);
}

void OnResponseStep(IoContext* d, uint64_t key, uint32_t bytes);

// kHttpResponseBody: the kernel has moved the body as far as it could; the framing counts what
// went, and the response goes on framed (the completion is one of a framed read or send).
void OnResponseBodyMoved(IoContext* d, uint64_t key, uint32_t bytes) {
  HttpResponseState& s = RecordOf<HttpRecord>(d).response;
  uint64_t left_before = UnframedBodyLeft(s);
  SkipResponseBody(&s, left_before - EndRawFor(d));
  d->state = kHttpResponse;
  OnResponseStep(d, key, bytes);
}

// Destination context of a request: passes the response on as far as its framing reaches;
// what the server sends beyond it is dropped with the connection.
void OnResponseStep(IoContext* d, uint64_t key, uint32_t bytes) {
  HttpResponseState& s = RecordOf<HttpRecord>(d).response;
  switch (d->overlapped.op) {
    case IoOp::kRead: {
      // The server's close ends a response read until the close, and the client's connection.
      if (key != static_cast<uint64_t>(d->socket) || bytes == 0) break;
      RecordOf<HttpRecord>(d).responseBegun = true;
      size_t used = 0;
      ResponseProgress p = TakeResponse(&s, std::string_view(d->buffer, bytes), &used);
      if (p == ResponseProgress::kBad || used == 0) break;
      if (p == ResponseProgress::kDone && used < bytes) RecordOf<HttpRecord>(d).trailing = true;
      // After a switch of protocols what follows the head is already the new protocol's.
      RelayBytes(d, p == ResponseProgress::kSwitched ? bytes : static_cast<uint32_t>(used));
      return;
    }
    case IoOp::kTimer:
      RelaySendStep(d);
      return;
    case IoOp::kSend: {
      if (bytes == 0) break;
      size_t none = 0;
      ResponseProgress p = TakeResponse(&s, std::string_view(), &none);
      if (p == ResponseProgress::kDone) {
        ResponseEnded(d);
      } else if (p == ResponseProgress::kSwitched) {
        ResponseSwitched(d);
      } else {
        ReadResponseOn(d);
      }
      return;
    }
    default:
      break;
  }
  ResponseFailed(d);
}

void OnConnected(IoContext* x) {
  HttpRecord& r = RecordOf<HttpRecord>(x);
  if (!r.tunnel) {
    IoContext* d = PairConnected(x, kHttpRequestHead, kHttpResponse);
    if (d == nullptr) return;
    StartExchange(x, d, false);
    return;
  }
  IoContext* d = PairConnected(x, kHttpTunnel, kHttpDestination);
  if (d == nullptr) return;
  x->deadlineMs = 0;
  // The destination context sends the reply; its completion starts the destination's reads,
  // so nothing from the destination can overtake it.
  std::memcpy(d->buffer, kConnectEstablished.data(), kConnectEstablished.size());
  d->wsaBuf.len = static_cast<uint32_t>(kConnectEstablished.size());
  RelaySendStep(d);
  StartClientTunnel(x);
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

// kHttpDirectoryPage: a piece of the directory page has been sent; sends the next one, or ends
// the fetch and the connection after the last.
void SendDirectoryPiece(IoContext* x, uint32_t bytes) {
  uint64_t id = RecordOf<HttpRecord>(x).fetchId;
  FtpFetch* fetch = FindFtpFetch(id);
  if (fetch == nullptr || x->overlapped.op != IoOp::kSend || bytes == 0 ||
      !fetch->page->Next(&fetch->reply) ||
      !Port(x)->PostSend(x->socket, &x->overlapped, fetch->reply.data(),
                         static_cast<uint32_t>(fetch->reply.size()))) {
    EndFtpFetch(id);
    CloseContext(x);
  }
}

void OnFetched(IoContext* x, uint64_t key) {
  FtpFetch* fetch = x->overlapped.op == IoOp::kPosted ? FindFtpFetch(key) : nullptr;
  if (fetch != nullptr && fetch->busy) {
    EndFtpFetch(key);
    x->server->PostRefusal(ActivityText{"FTP gateway busy", ClientAddress(x), ""});
    SendOwnReply(x, "HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
    return;
  }
  if (fetch != nullptr && !fetch->refused.empty()) {
    x->server->PostDestinationRefusal(fetch->refused, ClientAddress(x));
    EndFtpFetch(key);
    RefuseDestination(x, ConnectFailure::kRefused);
    return;
  }
  if (fetch == nullptr) {
    CloseContext(x);
    return;
  }
  // The gateway did not get the file or listing (name not resolved, no connection, the server
  // ended or refused the dialogue): the client hears it, never a bare close.
  if (!fetch->ok) {
    EndFtpFetch(key);
    SendOwnReply(x, BadGatewayReply());
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
  // The page is made piece by piece while it is sent; the listing stays in the fetch till then.
  fetch->page = std::make_unique<ListingPage>(fetch->listing, fetch->request.path);
  fetch->reply =
      FormatText("HTTP/1.0 200 OK\r\nContent-Length: %zu\r\n\r\n", fetch->page->TotalSize());
  std::string head;
  fetch->page->Next(&head);
  fetch->reply += head;
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
      RelayRaw(x, key, bytes);
      return;
    case kHttpReplySent:
      CloseContext(x);
      return;
    case kHttpPageHeader:
      OnPageHeaderSent(x, bytes);
      return;
    case kHttpDirectoryPage:
      SendDirectoryPiece(x, bytes);
      return;
    case kHttpConnecting:
      if (ConnectStep(x, bytes, nullptr, &RefuseDestination)) OnConnected(x);
      return;
    case kHttpFetching:
      OnFetched(x, key);
      return;
    case kHttpForwarding:
      // What a client sends while a file comes from the FTP gateway is no concern of the
      // FTP server's data connection: it is read and dropped.
      if (IsClientRead(x, key, bytes)) {
        RelayReadStep(x);
        return;
      }
      Relay(x, key, bytes);
      return;
    case kHttpRequest:
      if (TakeDialogueRead(x, key, bytes)) OnRequestBytes(x);
      return;
    case kHttpRequestHead:
      OnRequestHeadSent(x, bytes);
      return;
    case kHttpRequestBody:
      OnRequestBodyStep(x, key, bytes);
      return;
    case kHttpAwaitResponse:
      OnResponseAwaited(x);
      return;
    case kHttpResponse:
      OnResponseStep(x, key, bytes);
      return;
    case kHttpResponseBody:
      OnResponseBodyMoved(x, key, bytes);
      return;
    case kHttpKept:
      // Woken while kept between requests: the client has gone or wants another destination.
      CloseContext(x);
      return;
    default:
      CloseContext(x);
  }
}

}  // namespace tw
