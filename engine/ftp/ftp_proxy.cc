#include "engine/ftp/ftp_proxy.h"

#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include "config/activity_log.h"
#include "engine/core/destination.h"
#include "engine/core/dialogue.h"
#include "engine/core/proxy_server.h"
#include "engine/ftp/ftp_data_channels.h"
#include "engine/ftp/ftp_messages.h"
#include "engine/ftp/ftp_public_address.h"
#include "engine/policy/authorization.h"
#include "platform/address_text.h"
#include "platform/tick.h"

namespace tw {

namespace {

constexpr char kNeedPassword[] = "331 need password.\r\n";
constexpr char kLoginOk[] = "230 Login OK. Proceed.\r\n";
constexpr char kLoginFailed[] = "530 username/password or ip/schedule incorrect.\r\n";
constexpr char kLoginRequired[] = "530 username or password incorrect.\r\n";
constexpr char kIpNotAllowed[] = "530 ip not allowed.\r\n";
constexpr char kPleaseLogin[] = "530 Please login with USER and PASS.\r\n";
constexpr char kGoodbye[] = "221 Goodbye.\r\n";
constexpr char kNoopOk[] = "200 NOOP ok.\r\n";
constexpr char kPassFirstUser[] = "503 Login with USER first.\r\n";
constexpr char kSyntaxError[] = "500 Syntax error, command unrecognized.\r\n";
constexpr char kLineTooLong[] = "500 Command line too long.\r\n";
constexpr char kNoHost[] = "501 Missing host name after the command.\r\n";
constexpr char kNoHostAfterAt[] = "501 Missing host name after @.\r\n";
constexpr char kBadPort[] = "501 Invalid port number in host name.\r\n";
constexpr char kBadName[] = "501 Invalid user name.\r\n";
constexpr char kNoDataListener[] = "425 Can't open data connection.\r\n";
constexpr char kBadPortCommand[] = "501 Syntax error in PORT parameters.\r\n";
constexpr char kForeignPort[] = "501 PORT must name your own address.\r\n";
constexpr char kUsePasvOrPort[] = "502 Command not implemented, use PASV or PORT.\r\n";
constexpr char kNoAuth[] = "502 AUTH is not available through this proxy.\r\n";

// The control contexts' sockets, whichever side x is.
SocketHandle ClientSocket(IoContext* x) {
  return x->downstream == 1 ? x->peerSocket.load() : x->socket;
}
SocketHandle ServerSocket(IoContext* x) {
  return x->downstream == 1 ? x->socket : x->peerSocket.load();
}

void SetText(char (&field)[256], std::string_view value) {
  size_t n = std::min(value.size(), sizeof field - 1);
  std::memcpy(field, value.data(), n);
  field[n] = '\0';
}

void Consume(IoContext* x, size_t n) {
  std::memmove(x->buffer, x->buffer + n, x->held - n);
  x->held -= static_cast<uint32_t>(n);
}

// ---- The dialogue with the proxy, before a server is reached ----

// Sends one reply of the proxy from `host` (the bytes the client sent behind its command stay
// in the buffer); `next` says what follows its completion.
void Reply(IoContext* x, const char* text, int32_t next) {
  SetText(x->host, text);
  SendThenState(x, x->socket, x->host, static_cast<uint32_t>(std::strlen(x->host)), next);
}

bool LoggedInOrGuest(IoContext* x) {
  if (x->loggedIn == 1) return true;
  if (x->server->authMode == 1) {
    Reply(x, kLoginRequired, kFtpReplySent);
    return false;
  }
  if (!MatchAddressRule(x->server->access.guestIpRange, ClientAddress(x))) {
    Reply(x, kIpNotAllowed, kFtpReplySent);
    return false;
  }
  return true;
}

bool HasControlCharacter(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// USER user@destination (user non-empty is not required: the server decides) or SITE/OPEN
// destination: checks, logs and starts the connect. `user` is nullptr for SITE/OPEN.
void RequestDestination(IoContext* x, const std::string* user, std::string_view destination) {
  if (!LoggedInOrGuest(x)) return;
  std::string host;
  uint16_t port = 0;
  switch (ParseFtpDestination(destination, &host, &port)) {
    case FtpDestinationParse::kEmpty:
      Reply(x, user != nullptr ? kNoHostAfterAt : kNoHost, kFtpReplySent);
      return;
    case FtpDestinationParse::kBadPort:
      Reply(x, kBadPort, kFtpReplySent);
      return;
    case FtpDestinationParse::kOk:
      break;
  }
  if (HasControlCharacter(destination) || host.size() >= sizeof x->host ||
      (user != nullptr && (HasControlCharacter(*user) || user->size() >= sizeof x->text))) {
    Reply(x, kBadName, kFtpReplySent);
    return;
  }
  PostActivity(ActivityText{"FTP " + std::string(destination), ClientAddress(x),
                            x->loggedIn == 1 ? std::string(x->text) : std::string()});
  // Until the server side is made, `host` keeps the user name and aux tells the two paths
  // apart (1 USER, 0 SITE/OPEN).
  x->aux = user != nullptr ? 1 : 0;
  SetText(x->host, user != nullptr ? *user : std::string());
  x->state = kFtpConnecting;
  if (!ConnectDestination(x, host, port)) CloseContext(x);
}

void OnCommandLine(IoContext* x, std::string_view line) {
  FtpCommand c = ParseFtpCommand(line);
  bool awaitingPassword = x->state == kFtpAwaitPassword;
  x->state = kFtpAwaitCommand;
  if (c.verb == "PASS") {
    if (!awaitingPassword) {
      Reply(x, kPassFirstUser, kFtpReplySent);
      return;
    }
    int32_t down = x->downloadRate;
    int32_t up = x->uploadRate;
    bool ok =
        CheckAccountAccess(x->server->access, ClientAddress(x), x->text, c.argument, &down, &up);
    if (ok) {
      x->loggedIn = 1;
      x->downloadRate = down;
      x->uploadRate = up;
    }
    Reply(x, ok ? kLoginOk : kLoginFailed, kFtpReplySent);
    return;
  }
  if (c.verb == "USER") {
    std::string user, destination;
    if (SplitUserAtHost(c.argument, &user, &destination)) {
      RequestDestination(x, &user, destination);
      return;
    }
    if (c.argument.size() >= sizeof x->text || HasControlCharacter(c.argument)) {
      Reply(x, kBadName, kFtpReplySent);
      return;
    }
    SetText(x->text, c.argument);
    x->loggedIn = 0;  // a new login name: the previous login no longer holds
    Reply(x, kNeedPassword, kFtpPasswordAsked);
    return;
  }
  if (c.verb == "SITE" || c.verb == "OPEN") {
    RequestDestination(x, nullptr, c.argument);
    return;
  }
  if (c.verb == "QUIT") {
    Reply(x, kGoodbye, kFtpClosing);
    return;
  }
  if (c.verb == "NOOP") {
    Reply(x, kNoopOk, kFtpReplySent);
    return;
  }
  Reply(x, c.verb.empty() ? kSyntaxError : kPleaseLogin, kFtpReplySent);
}

// Handles the next whole command line held, or reads on.
void ProcessDialogue(IoContext* x) {
  size_t end = FtpLineEnd(x->buffer, x->held);
  if (end == 0) {
    if (x->held >= kFtpMaxLine) {
      Reply(x, kLineTooLong, kFtpClosing);
      return;
    }
    DialogueReadStep(x);
    return;
  }
  std::string line(x->buffer, end);
  Consume(x, end);
  OnCommandLine(x, line);
}

// ---- The control relay ----

// aux of a control context: the send in progress and what the held bytes are.
struct ControlWord {
  bool toOwnSocket = false;  // the client side answering its own client
  bool fromHost = false;     // the bytes are in `host` (a rewritten line or an answer)
  bool midLine = false;      // the held bytes continue a line already passed on
  bool lookupDone = false;   // `host` holds the result of a public-address lookup
  uint32_t length = 0;
};

uint64_t Pack(const ControlWord& w) {
  return (w.toOwnSocket ? 1u : 0u) | (w.fromHost ? 2u : 0u) | (w.midLine ? 4u : 0u) |
         (w.lookupDone ? 8u : 0u) | (uint64_t{w.length & 0xffffu} << 16);
}

ControlWord Unpack(uint64_t v) {
  ControlWord w;
  w.toOwnSocket = (v & 1) != 0;
  w.fromHost = (v & 2) != 0;
  w.midLine = (v & 4) != 0;
  w.lookupDone = (v & 8) != 0;
  w.length = static_cast<uint32_t>((v >> 16) & 0xffff);
  return w;
}

// Control contexts have no deadline: the relay reads without a time limit.
void ControlReadStep(IoContext* x) {
  ReadMore(x, x->socket, x->held, kIoBufferSize);
}

// Posts a send on the client's or the server's socket. The client socket carries both the
// server's replies and the proxy's own answers; the port queues a send behind the other
// context's, so both arrive whole and in order.
void ControlSend(IoContext* x, bool toOwnSocket, bool fromHost, uint32_t length) {
  ControlWord w = Unpack(x->aux);
  w.toOwnSocket = toOwnSocket;
  w.fromHost = fromHost;
  w.length = length;
  x->aux = Pack(w);
  SocketHandle to = toOwnSocket ? x->socket : x->peerSocket.load();
  const char* data = fromHost ? x->host : x->buffer;
  if (!Port(x)->PostSend(to, &x->overlapped, data, length)) CloseContext(x);
}

// Sends a line made by the proxy: toward the client when toClient, else toward the server.
void SendLine(IoContext* x, std::string_view line, bool toClient) {
  SetText(x->host, line);
  bool fromServerSide = x->downstream == 1;
  // The server side reaches the client through its peer; the client side answers on its own.
  bool own = toClient ? !fromServerSide : fromServerSide;
  ControlSend(x, own, true, static_cast<uint32_t>(std::strlen(x->host)));
}

// The address announced to a data peer: the machine's address on the peer's network, else the
// public address (asked once per rewrite when an echo server is set), else the address the
// control connection to that peer runs on. False when a lookup was started: x is continued
// by ResumeAfterAddressLookup.
bool AnnouncedAddress(IoContext* x, const std::string& peer, SocketHandle toPeer,
                      std::string* out) {
  *out = LocalAddressForClient(x->server->access.localAddresses, peer);
  if (!out->empty()) return true;
  ControlWord w = Unpack(x->aux);
  if (w.lookupDone) {
    w.lookupDone = false;
    x->aux = Pack(w);
    *out = x->host;
  } else if (!x->server->addressEchoHost.empty() && StartPublicAddressLookup(x)) {
    return false;
  }
  if (out->empty()) *out = LocalAddressOfFd(Port(x)->Descriptor(toPeer));
  return true;
}

// Opens and hands over a data listener; "" when none could be set up, else the rewritten
// line. *pending is set when x waits for an address lookup instead.
std::string SetUpDataChannel(IoContext* x, bool passive, uint32_t dataAddress, uint16_t dataPort,
                             bool* pending) {
  *pending = false;
  std::string client = PeerAddress(x, ClientSocket(x));
  std::string server = PeerAddress(x, ServerSocket(x));
  uint32_t clientAddress = 0, serverAddress = 0;
  if (!ParseIPv4(client, &clientAddress) || !ParseIPv4(server, &serverAddress)) return "";
  std::string announced;
  if (!AnnouncedAddress(x, passive ? client : server, passive ? ClientSocket(x) : ServerSocket(x),
                        &announced)) {
    *pending = true;
    return "";
  }
  DataListenerSpec spec;
  uint16_t listenPort = 0;
  spec.fd = OpenDataListener(*x->server, dataPort, &listenPort);
  if (spec.fd == -1) return "";
  std::string line = passive ? FormatPassiveReply(announced, listenPort)
                             : FormatPortCommand(announced, listenPort);
  if (line.empty()) {
    close(spec.fd);
    return "";
  }
  // Passive: the client comes in and the real server's data port is reached at the address
  // of the server itself (a reply naming any other host is not followed). Active: the real
  // server comes in and the client is reached at the address its PORT named (its own).
  spec.allowedPeer = passive ? clientAddress : serverAddress;
  spec.targetAddress = passive ? serverAddress : dataAddress;
  spec.targetPort = dataPort;
  spec.fromServer = !passive;
  spec.controlSocket = ClientSocket(x);
  spec.downloadRate = x->downloadRate;
  spec.uploadRate = x->uploadRate;
  SetText(x->text, FormatText("%s:%d", AddressText(spec.targetAddress).c_str(), dataPort));
  if (!AddDataListener(x->server, spec)) return "";
  return line;
}

// A held line that needs the proxy (its kind is not ordinary), at the start of the buffer.
void OnSpecialLine(IoContext* x, size_t length) {
  std::string line(x->buffer, length);
  bool fromServer = x->downstream == 1;
  FtpLineKind kind = ClassifyFtpLine(line, fromServer);
  if (kind == FtpLineKind::kRefused) {
    Consume(x, length);
    bool auth = ParseFtpCommand(line).verb == "AUTH";
    SendLine(x, auth ? kNoAuth : kUsePasvOrPort, true);
    return;
  }
  uint32_t address = 0;
  uint16_t port = 0;
  bool passive = kind == FtpLineKind::kPassiveReply;
  bool parsed =
      passive ? ParsePassiveReply(line, &address, &port) : ParsePortCommand(line, &address, &port);
  if (!parsed) {
    Consume(x, length);
    SendLine(x, passive ? kNoDataListener : kBadPortCommand, true);
    return;
  }
  if (!passive) {
    std::string client = ClientAddress(x);
    uint32_t own = 0;
    if (!ParseIPv4(client, &own) || own != address) {
      Consume(x, length);
      PostActivity(ActivityText{
          "FTP PORT refused " + AddressText(address) + ":" + std::to_string(port), client, ""});
      SendLine(x, kForeignPort, true);
      return;
    }
  }
  bool pending = false;
  std::string rewritten = SetUpDataChannel(x, passive, address, port, &pending);
  if (pending) return;  // the line stays held until the address lookup is over
  Consume(x, length);
  if (rewritten.empty()) {
    SendLine(x, kNoDataListener, true);
    return;
  }
  SendLine(x, rewritten, /*toClient=*/passive);
}

// Passes on the held bytes up to the first line the proxy must look at, handles that line,
// or reads on. Called whenever the context is free to start its next operation.
void ProcessControl(IoContext* x) {
  bool fromServer = x->downstream == 1;
  ControlWord w = Unpack(x->aux);
  size_t pos = 0;
  bool mid = w.midLine;
  size_t special = 0;  // length of a special line at pos
  while (pos < x->held) {
    const char* p = x->buffer + pos;
    size_t left = x->held - pos;
    size_t end = FtpLineEnd(p, left);
    if (mid) {
      if (end == 0) {
        pos = x->held;
        break;
      }
      pos += end;
      mid = false;
      continue;
    }
    std::string_view rest(p, end == 0 ? left : end);
    if (end == 0) {
      if (!FtpLineMayNeedRewrite(rest, fromServer)) {
        pos = x->held;  // an ordinary line's start: on it goes, its end follows later
        mid = true;
      } else if (left >= kFtpMaxLine) {
        CloseContext(x);  // no passive reply or PORT command is that long
        return;
      }
      break;
    }
    if (ClassifyFtpLine(rest, fromServer) != FtpLineKind::kOrdinary) {
      special = end;
      break;
    }
    pos += end;
  }
  if (pos > 0) {
    w.midLine = mid;
    x->aux = Pack(w);
    ControlSend(x, false, false, static_cast<uint32_t>(pos));
    return;
  }
  if (special > 0) {
    OnSpecialLine(x, special);
    return;
  }
  ControlReadStep(x);
}

void OnControlCompletion(IoContext* x, uint64_t key, uint32_t bytes) {
  switch (x->overlapped.op) {
    case IoOp::kRead:
      if (key != static_cast<uint64_t>(x->socket) || bytes == 0) {
        CloseContext(x);
        return;
      }
      x->held += bytes;
      ProcessControl(x);
      return;
    case IoOp::kSend: {
      if (bytes == 0) {
        CloseContext(x);
        return;
      }
      ControlWord w = Unpack(x->aux);
      if (!w.fromHost) Consume(x, w.length);
      ProcessControl(x);
      return;
    }
    default:
      CloseContext(x);
  }
}

// ---- Reaching the real server ----

// Server side: the greeting is whole once a final line ("ddd ") of a 2xx reply arrived;
// 1xx replies ("120 ready in a minute") may come first.
enum class Greeting { kIncomplete, kReady, kRefused };

Greeting ScanGreeting(const char* p, size_t n, size_t* consumed) {
  size_t pos = 0;
  for (;;) {
    size_t end = FtpLineEnd(p + pos, n - pos);
    if (end == 0) return Greeting::kIncomplete;
    std::string_view line(p + pos, end);
    pos += end;
    bool final = line.size() >= 4 && line[3] == ' ' && line[0] >= '0' && line[0] <= '9' &&
                 line[1] >= '0' && line[1] <= '9' && line[2] >= '0' && line[2] <= '9';
    if (!final) continue;
    if (line[0] == '1') continue;
    *consumed = pos;
    return line.substr(0, 3) == "220" ? Greeting::kReady : Greeting::kRefused;
  }
}

// The client context waiting for the greeting has no operation outstanding: the server side
// closes it too when it gives up, or nothing ever would.
void CloseBoth(IoContext* d) {
  IoContext* c;
  {
    std::lock_guard<std::mutex> lock(d->server->pairMutex);
    c = d->partner;
  }
  if (c != nullptr) CloseContext(c);
  CloseContext(d);
}

void OnServerGreeting(IoContext* d, uint64_t key, uint32_t bytes) {
  if (d->overlapped.op != IoOp::kRead || key != static_cast<uint64_t>(d->socket) || bytes == 0) {
    CloseBoth(d);
    return;
  }
  d->held += bytes;
  size_t consumed = 0;
  switch (ScanGreeting(d->buffer, d->held, &consumed)) {
    case Greeting::kIncomplete:
      if (d->held >= kIoBufferSize - 1) {
        CloseBoth(d);
        return;
      }
      if (!Port(d)->PostRead(d->socket, &d->overlapped, d->buffer + d->held,
                             kIoBufferSize - d->held, d->server->dialogueTimeoutMs)) {
        CloseBoth(d);
      }
      return;
    case Greeting::kRefused:
      CloseBoth(d);
      return;
    case Greeting::kReady:
      break;
  }
  IoContext* c;
  {
    std::lock_guard<std::mutex> lock(d->server->pairMutex);
    c = d->partner;
  }
  if (c == nullptr) {  // the client went away meanwhile
    CloseContext(d);
    return;
  }
  // The server has said nothing else yet (it waits for USER); the client context sends the USER
  // line, and its completion starts the reading of the client's commands.
  std::string user = FormatText("USER %s\r\n", d->text);
  d->held = 0;
  d->aux = 0;
  d->state = kFtpControl;
  c->state = kFtpControl;
  c->aux = 0;
  ControlReadStep(d);
  SetText(c->host, user);
  ControlSend(c, false, true, static_cast<uint32_t>(std::strlen(c->host)));
}

void OnConnected(IoContext* x) {
  bool userPath = x->aux == 1;
  IoContext* d = PairConnected(x, userPath ? kFtpAwaitGreeting : kFtpControl,
                               userPath ? kFtpServerGreeting : kFtpControl);
  if (d == nullptr) return;
  x->deadlineMs = 0;
  d->aux = 0;
  if (userPath) {
    SetText(d->text, x->host);
    if (!Port(d)->PostRead(d->socket, &d->overlapped, d->buffer, kIoBufferSize,
                           d->server->dialogueTimeoutMs)) {
      CloseBoth(d);
    }
    return;  // x waits, without a read, for the server side to send its USER line
  }
  x->aux = 0;
  ControlReadStep(d);
  ProcessControl(x);  // commands the client sent behind SITE/OPEN go first
}

void OnDialogueCompletion(IoContext* x, uint64_t key, uint32_t bytes) {
  if (x->overlapped.op == IoOp::kSend) {
    if (bytes == 0 || x->state == kFtpClosing) {
      CloseContext(x);
      return;
    }
    ContinueDialogue(x, x->state == kFtpPasswordAsked ? kFtpAwaitPassword : kFtpAwaitCommand,
                     &ProcessDialogue);
    return;
  }
  if (TakeDialogueRead(x, key, bytes)) ProcessDialogue(x);
}

}  // namespace

void ResumeAfterAddressLookup(IoContext* x) {
  ControlWord w = Unpack(x->aux);
  w.lookupDone = true;
  x->aux = Pack(w);
  ProcessControl(x);
}

void FtpHandler(IoContext* x, uint64_t key, uint32_t bytes) {
  switch (x->state) {
    case kFtpControl:
      OnControlCompletion(x, key, bytes);
      return;
    case kFtpData:
      Relay(x, key, bytes);
      return;
    case kFtpDataConnecting:
      DataConnectStep(x);
      return;
    case kFtpConnecting:
      if (ConnectStep(x, bytes)) OnConnected(x);
      return;
    case kFtpServerGreeting:
      OnServerGreeting(x, key, bytes);
      return;
    case kFtpEchoConnecting:
    case kFtpEchoSending:
    case kFtpEchoReading:
      PublicAddressLookupStep(x, bytes);
      return;
    case kFtpReplySent:
    case kFtpAwaitCommand:
    case kFtpPasswordAsked:
    case kFtpAwaitPassword:
    case kFtpClosing:
      OnDialogueCompletion(x, key, bytes);
      return;
    default:
      CloseContext(x);
  }
}

}  // namespace tw
