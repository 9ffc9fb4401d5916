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
constexpr char kDestinationNotAllowed[] = "530 destination not allowed.\r\n";
constexpr char kDestinationUnreachable[] = "530 destination not reachable.\r\n";

// The control contexts' sockets, whichever side x is.
SocketHandle ClientSocket(IoContext* x) {
  return x->downstream == 1 ? x->peerSocket.load() : x->socket;
}
SocketHandle ServerSocket(IoContext* x) {
  return x->downstream == 1 ? x->socket : x->peerSocket.load();
}

FtpRecord& Ftp(IoContext* x) {
  return RecordOf<FtpRecord>(x);
}

void Consume(IoContext* x, size_t n) {
  std::memmove(x->buffer, x->buffer + n, x->held - n);
  x->held -= static_cast<uint32_t>(n);
}

// ---- The dialogue with the proxy, before a server is reached ----

// Sends one reply of the proxy from the record's `line` (the bytes the client sent behind its
// command stay in the buffer); `next` says what follows its completion.
void Reply(IoContext* x, const char* text, int32_t next) {
  NameText& line = Ftp(x).line;
  line.Set(text);
  SendThenState(x, x->socket, line.data(), static_cast<uint32_t>(line.size()), next);
}

bool LoggedInOrGuest(IoContext* x) {
  if (Ftp(x).loggedIn) return true;
  if (x->server->access().authMode == 1) {
    Reply(x, kLoginRequired, kFtpReplySent);
    return false;
  }
  if (!GuestAdmitted(x)) {
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
  if (HasControlCharacter(destination) || !NameText::Fits(host) ||
      (user != nullptr && (HasControlCharacter(*user) || !NameText::Fits(*user)))) {
    Reply(x, kBadName, kFtpReplySent);
    return;
  }
  x->server->activity().Post(ActivityText{"FTP " + std::string(destination), ClientAddress(x),
                                          Ftp(x).loggedIn ? Ftp(x).loginName.c_str() : ""});
  NoteUser(x, Ftp(x).loggedIn ? Ftp(x).loginName.c_str() : "", kCarryAll);
  FtpRecord& r = Ftp(x);
  r.userPath = user != nullptr;
  r.serverUser.Set(user != nullptr ? *user : std::string());
  StartDestinationConnect(x, host, port, kFtpConnecting, ConnectBuffer::kHeldOnly);
}

// The server was not reached (the policy refused it, its name did not resolve in time or the
// connect failed): the client hears which and may name another.
void RefuseDestination(IoContext* x, ConnectFailure failure) {
  Reply(x, failure == ConnectFailure::kRefused ? kDestinationNotAllowed : kDestinationUnreachable,
        kFtpReplySent);
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
    std::string client = ClientAddress(x);
    int reason = kRefusedNoAccount;
    bool blocked = LoginBlocked(x, client);
    bool ok = !blocked && CheckAccountAccess(x->server->access(), client, Ftp(x).loginName.c_str(),
                                             c.argument, &down, &up, &reason);
    if (!blocked && x->server->access().authMode == 1) LoginChecked(x, client, ok, reason);
    if (ok) {
      Ftp(x).loggedIn = true;
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
    if (!NameText::Fits(c.argument) || HasControlCharacter(c.argument)) {
      Reply(x, kBadName, kFtpReplySent);
      return;
    }
    Ftp(x).loginName.Set(c.argument);
    Ftp(x).loggedIn = false;  // a new login name: the previous login no longer holds
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

// Control contexts have no deadline: the relay reads without a time limit.
void ControlReadStep(IoContext* x) {
  ReadMore(x, x->socket, x->held, kIoBufferSize);
}

// Posts a send on the client's or the server's socket. The client socket carries both the
// server's replies and the proxy's own answers; the port queues a send behind the other
// context's, so both arrive whole and in order.
void ControlSend(IoContext* x, bool toOwnSocket, bool fromLine, uint32_t length) {
  FtpRecord& r = Ftp(x);
  r.control.toOwnSocket = toOwnSocket;
  r.control.fromLine = fromLine;
  r.control.sendLength = length;
  SocketHandle to = toOwnSocket ? x->socket : x->peerSocket.load();
  const char* data = fromLine ? r.line.data() : x->buffer;
  if (!Port(x)->PostSend(to, &x->overlapped, data, length)) CloseContext(x);
}

// Sends a line made by the proxy: toward the client when toClient, else toward the server.
void SendLine(IoContext* x, std::string_view line, bool toClient) {
  NameText& out = Ftp(x).line;
  out.Set(line);
  bool fromServerSide = x->downstream == 1;
  // The server side reaches the client through its peer; the client side answers on its own.
  bool own = toClient ? !fromServerSide : fromServerSide;
  ControlSend(x, own, true, static_cast<uint32_t>(out.size()));
}

// The address announced to a data peer: the machine's address on the peer's network, else the
// public address (asked once per rewrite when an echo server is set), else the address the
// control connection to that peer runs on. False when a lookup was started: x is continued
// by ResumeAfterAddressLookup.
bool AnnouncedAddress(IoContext* x, const std::string& peer, SocketHandle toPeer,
                      std::string* out) {
  *out = LocalAddressForClient(x->server->access().localAddresses, peer);
  if (!out->empty()) return true;
  FtpRecord& r = Ftp(x);
  if (r.control.lookupDone) {
    r.control.lookupDone = false;
    *out = r.publicAddress.c_str();
  } else if (!x->server->ftp().addressEchoHost.empty() && StartPublicAddressLookup(x)) {
    return false;
  }
  if (out->empty()) *out = LocalAddressOfFd(Port(x)->Descriptor(toPeer));
  return true;
}

// The two ends of x's control connection: their sockets and peer addresses, read under the
// pair lock. While it is held the other context cannot get past the unpairing of its close,
// so the socket read from it is still its open one and its peer is the peer the data
// listener will admit. False when the other side is gone or an address is not IPv4.
struct ControlEnds {
  SocketHandle clientSocket = kNoSocket, serverSocket = kNoSocket;
  std::string client, server;
  uint32_t clientAddress = 0, serverAddress = 0;
};
bool ReadControlEnds(IoContext* x, ControlEnds* ends) {
  MutexLock lock(x->server->pairMutex());
  ends->clientSocket = ClientSocket(x);
  ends->serverSocket = ServerSocket(x);
  ends->client = PeerAddress(x, ends->clientSocket);
  ends->server = PeerAddress(x, ends->serverSocket);
  return ParseIPv4(ends->client, &ends->clientAddress) &&
         ParseIPv4(ends->server, &ends->serverAddress);
}

// Opens and hands over a data listener; "" when none could be set up, else the rewritten
// line. *pending is set when x waits for an address lookup instead.
std::string SetUpDataChannel(IoContext* x, bool passive, uint32_t dataAddress, uint16_t dataPort,
                             bool* pending) {
  *pending = false;
  ControlEnds ends;
  if (!ReadControlEnds(x, &ends)) return "";
  const uint32_t clientAddress = ends.clientAddress, serverAddress = ends.serverAddress;
  std::string announced;
  if (!AnnouncedAddress(x, passive ? ends.client : ends.server,
                        passive ? ends.clientSocket : ends.serverSocket, &announced)) {
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
  spec.controlSocket = ends.clientSocket;
  spec.clientAddress = clientAddress;
  spec.downloadRate = x->downloadRate;
  spec.uploadRate = x->uploadRate;
  if (!AddDataListener(x->server, spec)) return "";
  return line;
}

// The real server's data port of a passive reply goes through the destination policy like the
// server itself (a server on this machine could name one of the proxy's own ports). False,
// with the activity line written, when refused.
bool PassiveTargetAllowed(IoContext* x, uint16_t port) {
  uint32_t server = 0;
  if (!ParseIPv4(PeerAddress(x, ServerSocket(x)), &server)) return false;
  if (x->server->CheckDestination(server, port) == DestinationVerdict::kAllowed) return true;
  x->server->PostDestinationRefusal(AddressText(server) + ":" + std::to_string(port),
                                    PeerAddress(x, ClientSocket(x)));
  return false;
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
  if (passive && !PassiveTargetAllowed(x, port)) {
    Consume(x, length);
    SendLine(x, kDestinationNotAllowed, true);
    return;
  }
  if (!passive) {
    std::string client = ClientAddress(x);
    uint32_t own = 0;
    if (!ParseIPv4(client, &own) || own != address) {
      Consume(x, length);
      x->server->PostRefusal(ActivityText{
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
  FtpRecord& r = Ftp(x);
  size_t pos = 0;
  bool mid = r.control.midLine;
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
    r.control.midLine = mid;
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
      const FtpRecord& r = Ftp(x);
      if (!r.control.fromLine) Consume(x, r.control.sendLength);
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
    MutexLock lock(d->server->pairMutex());
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
                             kIoBufferSize - d->held, d->server->dialogueTimeoutMs())) {
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
    MutexLock lock(d->server->pairMutex());
    c = d->partner;
  }
  if (c == nullptr) {  // the client went away meanwhile
    CloseContext(d);
    return;
  }
  // The server has said nothing else yet (it waits for USER); the client context sends the USER
  // line, and its completion starts the reading of the client's commands.
  std::string user = FormatText("USER %s\r\n", Ftp(d).serverUser.c_str());
  d->held = 0;
  Ftp(d).control = {};
  d->state = kFtpControl;
  c->state = kFtpControl;
  FtpRecord& cr = Ftp(c);
  cr.control = {};
  ControlReadStep(d);
  cr.line.Set(user);
  ControlSend(c, false, true, static_cast<uint32_t>(cr.line.size()));
}

void OnConnected(IoContext* x) {
  bool userPath = Ftp(x).userPath;
  IoContext* d = PairConnected(x, userPath ? kFtpAwaitGreeting : kFtpControl,
                               userPath ? kFtpServerGreeting : kFtpControl);
  if (d == nullptr) return;
  x->deadlineMs = 0;
  if (userPath) {
    Ftp(d).serverUser.Set(Ftp(x).serverUser.view());
    if (!Port(d)->PostRead(d->socket, &d->overlapped, d->buffer, kIoBufferSize,
                           d->server->dialogueTimeoutMs())) {
      CloseBoth(d);
    }
    return;  // x waits, without a read, for the server side to send its USER line
  }
  Ftp(x).control = {};
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
  Ftp(x).control.lookupDone = true;
  ProcessControl(x);
}

void FtpHandler(IoContext* x, uint64_t key, uint32_t bytes) {
  switch (x->state) {
    case kFtpControl:
      OnControlCompletion(x, key, bytes);
      return;
    case kFtpData:
      RelayRaw(x, key, bytes);
      return;
    case kFtpDataConnecting:
      DataConnectStep(x);
      return;
    case kFtpConnecting:
      if (ConnectStep(x, bytes, nullptr, &RefuseDestination)) OnConnected(x);
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
