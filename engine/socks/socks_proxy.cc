#include "engine/socks/socks_proxy.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "config/activity_log.h"
#include "engine/core/destination.h"
#include "engine/core/dialogue.h"
#include "engine/core/proxy_server.h"
#include "engine/policy/authorization.h"
#include "engine/socks/socks_messages.h"
#include "platform/address_text.h"

namespace tw {

namespace {

// Replies are built past the end of any message a client may send, so the bytes of a message
// the client already sent behind the one answered survive the reply's send.
constexpr uint32_t kReplyOffset = kIoBufferSize - 16;
static_assert(kReplyOffset >= kSocksMaxMessage, "replies must not overlap held messages");

// The dotted text of an address as the request carries it (network byte order).
std::string Dotted(const uint8_t a[4]) {
  uint32_t network_order;
  std::memcpy(&network_order, a, sizeof network_order);
  return AddressText(network_order);
}

// The log line of a request that names its destination by address ("Socks5 1.2.3.4:client");
// nothing is built when no line is kept.
void LogAddressRequest(IoContext* x, const char* kind, const uint8_t address[4]) {
  if (!x->server->activity().Wanted()) return;
  x->server->activity().PostText(
      FormatText("%s %s:%s", kind, Dotted(address).c_str(), ClientAddress(x).c_str()));
}

void SendReply(IoContext* x, const uint8_t* reply, uint32_t n, int32_t next_state) {
  if (x->held > kReplyOffset) {  // the client ran far ahead of the dialogue
    CloseContext(x);
    return;
  }
  SendCopyThenState(x, x->socket, kReplyOffset,
                    std::string_view(reinterpret_cast<const char*>(reply), n), next_state);
}

void Consume(IoContext* x, size_t n) {
  std::memmove(x->buffer, x->buffer + n, x->held - n);
  x->held -= static_cast<uint32_t>(n);
}

void StartConnect(IoContext* x, int32_t connecting_state, const std::string& host, uint16_t port) {
  StartDestinationConnect(x, host, port, connecting_state, ConnectBuffer::kHeldOnly);
}

// Keeps the name being looked up for the log line, and whether it came in a packet of its
// own; false when it does not fit.
bool KeepName(IoContext* x, const std::string& name, bool later) {
  SocksRecord& r = RecordOf<SocksRecord>(x);
  if (!NameText::Fits(name)) return false;
  r.name.Set(name);
  r.nameInLaterPacket = later;
  return true;
}

void OnSocks4(IoContext* x) {
  Socks4Request req;
  size_t consumed = 0;
  SocksParse r = ParseSocks4(reinterpret_cast<uint8_t*>(x->buffer), x->held, &req, &consumed);
  if (r == SocksParse::kInvalid) {
    CloseContext(x);
    return;
  }
  if (r == SocksParse::kNeedMore) {
    if (req.is4a && req.userComplete) x->state = kSocks4aAwaitName;
    DialogueReadStep(x);
    return;
  }
  uint8_t reply[8];
  // SOCKS 4 carries no password, so it has no place on a proxy that requires a login.
  if (x->server->access().authMode == 1 || req.command != 1 || !GuestAdmitted(x)) {
    Socks4Rejected(reply);
    SendReply(x, reply, sizeof reply, kSocksRefused);
    return;
  }
  bool later = x->state == kSocks4aAwaitName;
  Consume(x, consumed);
  if (!req.is4a) {
    LogAddressRequest(x, "Socks4", req.address);
    StartConnect(x, kSocks4Connecting, Dotted(req.address), req.port);
    return;
  }
  if (!KeepName(x, req.host, later)) {
    CloseContext(x);
    return;
  }
  StartConnect(x, kSocks4Connecting, req.host, req.port);
}

void OnMethods(IoContext* x) {
  uint8_t choice = 255;
  size_t consumed = 0;
  SocksParse r =
      ParseSocks5Methods(reinterpret_cast<uint8_t*>(x->buffer), x->held, &choice, &consumed);
  if (r == SocksParse::kNeedMore) {
    DialogueReadStep(x);
    return;
  }
  if (r == SocksParse::kInvalid) {  // not SOCKS 5: no method is acceptable
    const uint8_t refused[2] = {5, 255};
    SendReply(x, refused, 2, kSocksRefused);
    return;
  }
  Consume(x, consumed);
  if (x->server->access().authMode == 1 && choice == 0) choice = 255;
  if (choice == 0 && !GuestAdmitted(x)) choice = 255;
  const uint8_t reply[2] = {5, choice};
  SendReply(x, reply, 2,
            choice == 2   ? kSocksLoginAsked
            : choice == 0 ? kSocksOpened
                          : kSocksRefused);
}

void OnLogin(IoContext* x) {
  std::string user, password;
  size_t consumed = 0;
  SocksParse r =
      ParseSocks5Login(reinterpret_cast<uint8_t*>(x->buffer), x->held, &user, &password, &consumed);
  if (r == SocksParse::kNeedMore) {
    DialogueReadStep(x);
    return;
  }
  if (r == SocksParse::kInvalid) {
    CloseContext(x);
    return;
  }
  Consume(x, consumed);
  RecordOf<SocksRecord>(x).user.Set(user);
  std::string client = ClientAddress(x);
  int reason = kRefusedNoAccount;
  bool blocked = LoginBlocked(x, client);
  int32_t down = x->downloadRate;
  int32_t up = x->uploadRate;
  bool ok = !blocked && CheckAccountAccess(x->server->access(), client, user, password, &down,
                                           &up, &reason);
  x->downloadRate = down;
  x->uploadRate = up;
  if (!blocked && x->server->access().authMode == 1) LoginChecked(x, client, ok, reason);
  // The connection is the user's from here, whatever form its request names the destination
  // in: the live list, the traffic figures and Disconnect user go by it.
  if (ok) NoteUser(x, user, kCarryAll);
  const uint8_t reply[2] = {1, static_cast<uint8_t>(ok ? 0 : 1)};
  SendReply(x, reply, 2, ok ? kSocksOpened : kSocksRefused);
}

void OnRequest(IoContext* x) {
  Socks5Request req;
  size_t consumed = 0;
  SocksParse r =
      ParseSocks5Request(reinterpret_cast<uint8_t*>(x->buffer), x->held, &req, &consumed);
  if (r == SocksParse::kInvalid) {
    CloseContext(x);
    return;
  }
  if (r == SocksParse::kNeedMore) {
    if (x->held == 5 && req.addressType == 3) x->state = kSocks5AwaitName;
    DialogueReadStep(x);
    return;
  }
  bool later = x->state == kSocks5AwaitName;
  Consume(x, consumed);
  if (req.command == 1) {  // CONNECT
    if (req.addressType == 1) {
      LogAddressRequest(x, "Socks5", req.address);
      StartConnect(x, kSocks5Connecting, Dotted(req.address), req.port);
    } else if (req.addressType == 3 && KeepName(x, req.host, later)) {
      StartConnect(x, kSocks5Connecting, req.host, req.port);
    } else {
      CloseContext(x);  // IPv6 and unknown address types get no reply
    }
    return;
  }
  if (req.command == 2) x->server->activity().PostText("Socks5 bind ");
  if (req.command == 3) x->server->activity().PostText("Socks5 upd ");
  uint8_t reply[10];
  Socks5CommandNotSupported(reply);
  SendReply(x, reply, sizeof reply, kSocksRefused);
}

// The name of a SOCKS 4a or 5 request resolved: its log line goes out before the connect.
void LogResolvedName(IoContext* x) {
  if (!x->server->activity().Wanted()) return;
  std::string client = ClientAddress(x);
  const SocksRecord& r = RecordOf<SocksRecord>(x);
  const char* name = r.name.c_str();
  bool later = r.nameInLaterPacket;
  // The parts go apart: a name or user may hold ":" or ",", which a joined text would misplace.
  if (x->state == kSocks4Connecting) {
    x->server->activity().Post(
        ActivityText{(later ? "Socks4a- " : "Socks4a ") + std::string(name), client, ""});
  } else {
    x->server->activity().Post(
        ActivityText{(later ? "Socks5- " : "Socks5 ") + std::string(name), client, r.user.c_str()});
  }
}

// The destination was not reached: SOCKS 4 and 4a say "rejected" (91); SOCKS 5 says "not
// allowed by ruleset" (2) for the policy, "connection refused" (5) when the destination
// refused, "host unreachable" (4) otherwise. Then the connection closes.
void RefuseDestination(IoContext* x, ConnectFailure failure) {
  if (x->state == kSocks4Connecting) {
    uint8_t reply[8];
    Socks4Rejected(reply);
    SendReply(x, reply, sizeof reply, kSocksRefused);
    return;
  }
  uint8_t code = kSocks5HostUnreachable;
  if (failure == ConnectFailure::kRefused) {
    code = kSocks5NotAllowed;
  } else if (failure == ConnectFailure::kUnreachable && x->overlapped.error == ECONNREFUSED) {
    code = kSocks5ConnectionRefused;
  }
  uint8_t reply[10];
  Socks5Failed(reply, code);
  SendReply(x, reply, sizeof reply, kSocksRefused);
}

uint32_t GrantedAddress() {
  static const uint32_t address = [] {
    uint32_t a = 0;
    LocalFirstAddress(reinterpret_cast<uint8_t*>(&a));
    return a;
  }();
  return address;
}

void OnConnected(IoContext* x) {
  bool socks4 = x->state == kSocks4Connecting;
  IoContext* d = PairConnected(x, kSocksRelay, kSocksDestination);
  if (d == nullptr) return;
  x->deadlineMs = 0;
  // The destination context sends the granted reply to the client; its completion starts the
  // destination's reads, so nothing from the destination can overtake the reply.
  uint16_t own_port = static_cast<uint16_t>(x->server->port());
  uint32_t n;
  if (socks4) {
    Socks4Granted(reinterpret_cast<uint8_t*>(d->buffer), GrantedAddress(), own_port);
    n = 8;
  } else {
    Socks5Succeeded(reinterpret_cast<uint8_t*>(d->buffer), GrantedAddress(), own_port);
    n = 10;
  }
  d->wsaBuf.len = n;
  RelaySendStep(d);
  // Bytes the client sent right behind its request go to the destination first.
  if (x->held > 0) {
    x->wsaBuf.len = x->held;
    x->held = 0;
    RelaySendStep(x);
  } else {
    RelayReadStep(x);
  }
}

// Handles whatever whole message the held bytes now contain, in the context's state.
void Process(IoContext* x) {
  switch (x->state) {
    case kSocksFirst:
      if (x->buffer[0] == 4)
        OnSocks4(x);
      else
        OnMethods(x);
      return;
    case kSocks4aAwaitName:
      OnSocks4(x);
      return;
    case kSocksAwaitLogin:
      OnLogin(x);
      return;
    case kSocksAwaitRequest:
    case kSocks5AwaitName:
      OnRequest(x);
      return;
    default:
      CloseContext(x);
  }
}

bool InDialogue(int32_t state) {
  switch (state) {
    case kSocksFirst:
    case kSocksLoginAsked:
    case kSocksAwaitLogin:
    case kSocksOpened:
    case kSocksAwaitRequest:
    case kSocks4aAwaitName:
    case kSocks5AwaitName:
    case kSocks4Connecting:
    case kSocks5Connecting:
    case kSocksRefused:
      return true;
    default:
      return false;
  }
}

}  // namespace

void SocksHandler(IoContext* x, uint64_t key, uint32_t bytes) {
  if (!InDialogue(x->state)) {
    RelayRaw(x, key, bytes);
    return;
  }
  if (x->state == kSocks4Connecting || x->state == kSocks5Connecting) {
    if (ConnectStep(x, bytes, &LogResolvedName, &RefuseDestination)) OnConnected(x);
    return;
  }
  if (x->overlapped.op == IoOp::kSend) {
    if (bytes == 0 || x->state == kSocksRefused) {
      CloseContext(x);
    } else if (x->state == kSocksLoginAsked) {
      ContinueDialogue(x, kSocksAwaitLogin, &Process);
    } else if (x->state == kSocksOpened) {
      ContinueDialogue(x, kSocksAwaitRequest, &Process);
    } else {
      CloseContext(x);
    }
    return;
  }
  if (TakeDialogueRead(x, key, bytes)) Process(x);
}

}  // namespace tw
