#include "engine/core/dialogue.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "engine/core/destination.h"
#include "engine/core/proxy_server.h"
#include "engine/policy/authorization.h"
#include "platform/address_text.h"
#include "platform/tick.h"

namespace tw {

namespace {

// The activity line of a guest refused for coming from outside the local networks.
constexpr char kGuestNotLocal[] = "Guest refused: not on a local network";
// The activity line of an address whose failed logins start a block.
constexpr char kLoginsBlocked[] = "Login attempts refused for a minute: too many failures";

}  // namespace

std::string PeerAddress(IoContext* x, SocketHandle s) {
  return PeerAddressOfFd(Port(x)->Descriptor(s));
}

std::string ClientAddress(IoContext* x) {
  // A client context keeps the address it was accepted from: no system call per question.
  if (x->countedClient != 0) return AddressText(x->countedClient);
  return PeerAddress(x, x->socket);
}

bool GuestAdmitted(IoContext* x) {
  std::string client = ClientAddress(x);
  GuestAdmission admission = CheckGuest(x->server->access(), client);
  if (admission == GuestAdmission::kAdmitted) return true;
  x->server->counters().Refused(Refusal::kGuestNotAllowed);
  if (admission == GuestAdmission::kNotLocal) {
    x->server->PostRefusal(ActivityText{kGuestNotLocal, client, ""});
  }
  return false;
}

bool LoginBlocked(IoContext* x, const std::string& client) {
  if (!x->server->loginThrottle().Blocked(client)) return false;
  x->server->counters().Refused(Refusal::kLoginsBlocked);
  return true;
}

void LoginChecked(IoContext* x, const std::string& client, bool ok, int refusalReason) {
  ProxyCounters& counters = x->server->counters();
  if (ok) {
    counters.Login(true);
    return;
  }
  if (refusalReason != kRefusedNoAccount) {
    counters.Refused(Refusal::kAccountRule);
    return;
  }
  counters.Login(false);
  if (x->server->loginThrottle().RecordFailure(client)) {
    x->server->PostRefusal(ActivityText{kLoginsBlocked, client, ""});
  }
}

void SendThenState(IoContext* x, SocketHandle to, const char* data, uint32_t n,
                   int32_t next_state) {
  x->state = next_state;
  if (!Port(x)->PostSend(to, &x->overlapped, data, n)) CloseContext(x);
}

void SendCopyThenState(IoContext* x, SocketHandle to, uint32_t offset, std::string_view text,
                       int32_t next_state) {
  if (offset > kIoBufferSize || text.size() > kIoBufferSize - offset) {
    CloseContext(x);
    return;
  }
  std::memcpy(x->buffer + offset, text.data(), text.size());
  SendThenState(x, to, x->buffer + offset, static_cast<uint32_t>(text.size()), next_state);
}

bool ReadMore(IoContext* x, SocketHandle from, uint32_t start, uint32_t limit) {
  uint32_t timeout = 0;
  if (x->deadlineMs != 0) {
    uint64_t now = MonotonicMs();
    if (now >= x->deadlineMs) {
      CloseContext(x);
      return false;
    }
    timeout = static_cast<uint32_t>(std::min<uint64_t>(x->deadlineMs - now, UINT32_MAX));
  }
  if (start >= limit ||
      !Port(x)->PostRead(from, &x->overlapped, x->buffer + start, limit - start, timeout)) {
    CloseContext(x);
    return false;
  }
  return true;
}

bool DialogueReadStep(IoContext* x) {
  return ReadMore(x, x->socket, x->held, kIoBufferSize);
}

bool TakeDialogueRead(IoContext* x, uint64_t key, uint32_t bytes) {
  if (x->overlapped.op != IoOp::kRead || key != static_cast<uint64_t>(x->socket) || bytes == 0) {
    CloseContext(x);
    return false;
  }
  x->held += bytes;
  return true;
}

void ContinueDialogue(IoContext* x, int32_t next_state, void (*process)(IoContext*)) {
  x->state = next_state;
  if (x->held > 0)
    process(x);
  else
    DialogueReadStep(x);
}

void StartDestinationConnect(IoContext* x, std::string_view host, uint16_t port,
                             int32_t connecting_state, ConnectBuffer buffer) {
  x->state = connecting_state;
  NoteDestination(x, host, port);
  std::string target(host);  // host may lie in the buffer given back here
  if (buffer == ConnectBuffer::kHeldOnly && x->held == 0) ReturnBuffer(x);
  if (ConnectDestination(x, target, port)) return;
  // Completes like a failed connect, so the waiting state gives the one answer for it.
  Port(x)->Post(0, static_cast<uint64_t>(x->socket), &x->overlapped, IoOp::kConnect, EHOSTUNREACH);
}

bool ConnectStep(IoContext* x, uint32_t bytes, void (*onResolved)(IoContext*),
                 void (*onFailed)(IoContext*, ConnectFailure)) {
  ConnectFailure failure = ConnectFailure::kUnreachable;
  switch (ContinueConnect(x, bytes, onResolved)) {
    case ConnectProgress::kPending:
    case ConnectProgress::kClosed:
      return false;
    case ConnectProgress::kConnected:
      return true;
    case ConnectProgress::kRefused:
      failure = ConnectFailure::kRefused;
      break;
    case ConnectProgress::kUnresolved:
      failure = ConnectFailure::kUnresolved;
      break;
    case ConnectProgress::kUnreachable:
      break;
  }
  // A dialogue that goes on after the answer may start another connect on x.
  if (x->connectSocket != kNoSocket) Port(x)->Close(TakeConnectedSocket(x));
  onFailed(x, failure);
  return false;
}

}  // namespace tw
