// Drives whole protocol handlers through a scripted session. Every proxy runs in this process
// on loopback with a real completion port and workers; a scripted peer stands in for every
// destination (web, FTP, mail server, tunnel end). The input is a script of client writes,
// half-closes and aborts and of the peer's writes and closes, played one step at a time: after
// each step the harness waits until both sockets have been quiet for a moment, reading what
// the proxy sends, so a script replays with nearly the same interleaving every time.
//
// After the script, the client and every peer connection are closed and every context of every
// proxy must be freed within a bound: a context left behind (a handler that forgets a socket,
// a pair that never closes) is reported as a fault, like any sanitizer finding.
//
// Input: byte 0 picks the proxy (low three bits, see kProxies) and whether it asks for a login
// (bit 3; the account "fuzz" with password "fuzz" exists). Then steps: an op byte (low three
// bits, see Op), and for the writes a length byte and that many bytes. In written bytes, "%P"
// becomes the peer's port in decimal, "%B" the same port as two bytes (network order) and "%C"
// its two FTP numbers "hi,lo", and "%M" the SMTP user name "mailbox#127.0.0.1:port" in Base64,
// so a script can name the peer as destination in any protocol. The seeds are written by
// make_session_seeds.py beside this file. With TW_SESSION_TRACE set, the harness prints what
// each side received (for reading a reproduced input).
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/account_tables.h"
#include "config/installation.h"
#include "config/protocols.h"
#include "engine/core/proxy_server.h"
#include "engine/ftp/ftp_messages.h"
#include "engine/proxy_protocols.h"
#include "platform/base64.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_sockets.h"

namespace {

using Clock = std::chrono::steady_clock;

// The proxies a script may pick; one line each.
constexpr int32_t kProxies[] = {
    tw::kProtocolSocks,  //
    tw::kProtocolFtp,    //
    tw::kProtocolPop3,   //
    tw::kProtocolSmtp,   //
    tw::kProtocolHttp,   //
};
constexpr size_t kProxyCount = sizeof kProxies / sizeof kProxies[0];

enum Op : uint8_t {
  kClientWrite = 0,   // length, bytes: the client sends them
  kPeerWrite = 1,     // length, bytes: the newest peer connection sends them
  kClientHalfClose = 2,
  kPeerHalfClose = 3,  // the newest peer connection stops sending
  kPeerClose = 4,      // the newest peer connection closes
  kClientAbort = 5,    // the client resets its connection; the script ends
  kDataConnect = 6,    // length, bytes: the client opens the data connection of the last
                       // passive reply it saw (FTP) and sends the bytes on it
  kFirstPeerWrite = 7,  // length, bytes: the oldest peer connection sends them
};

constexpr size_t kMaxSteps = 48;
constexpr int kQuietMs = 3;          // a step is over once nothing moved for this long
constexpr int kStepCapMs = 60;       // and never takes longer than this
constexpr int kDrainLimitMs = 8000;  // bound for every context to be freed after a script

// Every proxy, started once for the whole run, and the peer's listener.
struct Rig {
  std::string data_dir;
  std::unique_ptr<tw::ProxyServer> proxies[kProxyCount];
  int peer_listen = -1;
  uint16_t peer_port = 0;
};

Rig* MakeRig() {
  signal(SIGPIPE, SIG_IGN);
  // Names the scripts make up must fail fast rather than wait on a name server.
  setenv("RES_OPTIONS", "timeout:1 attempts:1", 1);
  auto* rig = new Rig;
  rig->data_dir = tw::test::ScratchDirRemovedAtExit("tw-session-fuzz");
  std::string error;
  if (rig->data_dir.empty() || !tw::InstallMissingDataFiles(rig->data_dir, &error)) {
    fprintf(stderr, "no data directory: %s\n", error.c_str());
    abort();
  }
  tw::UserRecord user;
  user.userid = "fuzz";
  user.passwd = "fuzz";
  for (int32_t id : kProxies) user.rules.SetServer(id, 1);
  if (!tw::UserTable(rig->data_dir).Add(&user, &error)) {
    fprintf(stderr, "no account: %s\n", error.c_str());
    abort();
  }
  rig->peer_listen = tw::test::ListenLoopback(256, &rig->peer_port);
  fcntl(rig->peer_listen, F_SETFL, O_NONBLOCK);
  for (size_t i = 0; i < kProxyCount; ++i) {
    tw::ListenerSettings s;
    s.listenAddress = "127.0.0.1";
    s.guestsFromAnywhere = true;
    s.attachedNetworks = std::vector<tw::Ipv4Network>{};
    s.dataDir = rig->data_dir;
    s.connectTimeoutMs = 1000;
    s.dialogueTimeoutMs = 3000;
    s.allowLocalDestinations = true;
    s.http.ftpGatewayTimeoutMs = 1000;
    rig->proxies[i] =
        std::make_unique<tw::ProxyServer>(kProxies[i], tw::ProtocolFor(kProxies[i]));
    if (!rig->proxies[i]->Start(s)) {
      fprintf(stderr, "proxy %d did not start\n", kProxies[i]);
      abort();
    }
  }
  return rig;
}

size_t LiveContexts(Rig& rig) {
  size_t n = 0;
  for (auto& p : rig.proxies) n += p->LiveContexts();
  return n;
}

// The bytes of a write step with the peer's port put in for its placeholders.
std::string Expand(std::string_view in, uint16_t port) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%' || i + 1 == in.size()) {
      out += in[i];
      continue;
    }
    char c = in[i + 1];
    if (c == 'P') {
      out += std::to_string(port);
    } else if (c == 'B') {
      out += static_cast<char>(port >> 8);
      out += static_cast<char>(port & 0xff);
    } else if (c == 'C') {
      out += std::to_string(port >> 8) + "," + std::to_string(port & 0xff);
    } else if (c == 'M') {
      out += tw::Base64Encode("mailbox#127.0.0.1:" + std::to_string(port));
    } else {
      out += in[i];
      continue;
    }
    ++i;
  }
  return out;
}

class Session {
 public:
  explicit Session(Rig& rig) : rig_(rig) {}
  ~Session() {
    for (int fd : client_fds_) close(fd);
    for (int fd : ended_) close(fd);
    for (int fd : peers_) close(fd);
  }

  bool Connect(uint16_t port) {
    int fd = tw::test::ConnectLoopback(port, 1000);
    if (fd == -1) return false;
    client_fds_.push_back(fd);
    client_ = fd;
    Settle();
    return true;
  }

  void Play(const uint8_t* data, size_t size) {
    size_t at = 0, steps = 0;
    auto take = [&](std::string* bytes) {
      if (at >= size) return false;
      size_t n = data[at++];
      if (n > size - at) n = size - at;
      *bytes = Expand(std::string_view(reinterpret_cast<const char*>(data + at), n),
                      rig_.peer_port);
      at += n;
      return true;
    };
    std::string bytes;
    while (at < size && steps++ < kMaxSteps) {
      switch (static_cast<Op>(data[at++] & 7)) {
        case kClientWrite:
          if (take(&bytes)) Send(client_, bytes);
          break;
        case kPeerWrite:
          if (take(&bytes) && !peers_.empty()) Send(peers_.back(), bytes);
          break;
        case kFirstPeerWrite:
          if (take(&bytes) && !peers_.empty()) Send(peers_.front(), bytes);
          break;
        case kClientHalfClose:
          shutdown(client_, SHUT_WR);
          break;
        case kPeerHalfClose:
          if (!peers_.empty()) shutdown(peers_.back(), SHUT_WR);
          break;
        case kPeerClose:
          if (!peers_.empty()) {
            close(peers_.back());
            peers_.pop_back();
          }
          break;
        case kClientAbort: {
          linger reset{1, 0};
          setsockopt(client_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
          return;
        }
        case kDataConnect:
          if (take(&bytes) && passive_port_ != 0) {
            int fd = tw::test::ConnectLoopback(passive_port_, 1000);
            if (fd != -1) {
              client_fds_.push_back(fd);
              Send(fd, bytes);
            }
          }
          break;
      }
      Settle();
    }
  }

 private:
  void Send(int fd, const std::string& bytes) {
    if (fd != -1) send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }

  // Lets the proxy react to the last step: accepts its connections to the peer and reads
  // whatever it sends either way, until nothing moved for kQuietMs (at most kStepCapMs).
  void Settle() {
    auto until = Clock::now() + std::chrono::milliseconds(kStepCapMs);
    while (Clock::now() < until) {
      std::vector<pollfd> fds{{rig_.peer_listen, POLLIN, 0}};
      for (int fd : client_fds_) fds.push_back({fd, POLLIN, 0});
      for (int fd : peers_) fds.push_back({fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), kQuietMs) <= 0) return;
      if (fds[0].revents != 0) {
        int fd;
        while ((fd = accept4(rig_.peer_listen, nullptr, nullptr, SOCK_CLOEXEC)) != -1) {
          peers_.push_back(fd);
        }
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents != 0) Drain(fds[i].fd, fds[i].fd == client_);
      }
    }
  }

  // Reads what is there; a socket at its end is dropped from the polled set (a peer
  // connection is closed, as a server does when its client has gone).
  void Drain(int fd, bool control) {
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (trace_ && n >= 0) {
      fprintf(stderr, "%s fd %d got %zd: %.*s\n", control ? "client" : "other", fd, n,
              static_cast<int>(n), buf);
    }
    if (n > 0) {
      if (control) NotePassiveReply(std::string_view(buf, static_cast<size_t>(n)));
      return;
    }
    if (n == -1 && (errno == EAGAIN || errno == EINTR)) return;
    for (size_t i = 0; i < peers_.size(); ++i) {
      if (peers_[i] == fd) {
        close(fd);
        peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(i));
        return;
      }
    }
    for (size_t i = 0; i < client_fds_.size(); ++i) {
      if (client_fds_[i] == fd) {
        // Kept open (the script may still write) but no longer polled.
        ended_.push_back(fd);
        client_fds_.erase(client_fds_.begin() + static_cast<std::ptrdiff_t>(i));
        return;
      }
    }
  }

  // Remembers the data port of the last passive reply the proxy sent the client.
  void NotePassiveReply(std::string_view text) {
    size_t at = text.find("227 ");
    if (at == std::string_view::npos) return;
    uint32_t address = 0;
    uint16_t port = 0;
    if (tw::ParsePassiveReply(text.substr(at), &address, &port) &&
        address == htonl(INADDR_LOOPBACK)) {
      passive_port_ = port;
    }
  }

 public:
  // Closes every socket of the session, keeps closing what the proxy still connects to the
  // peer, and waits until every context is freed. False when some are still alive after
  // kDrainLimitMs.
  bool CloseAndDrain() {
    for (int fd : client_fds_) close(fd);
    for (int fd : ended_) close(fd);
    for (int fd : peers_) close(fd);
    client_fds_.clear();
    ended_.clear();
    peers_.clear();
    client_ = -1;
    auto until = Clock::now() + std::chrono::milliseconds(kDrainLimitMs);
    while (LiveContexts(rig_) != 0) {
      if (Clock::now() > until) return false;
      pollfd p{rig_.peer_listen, POLLIN, 0};
      poll(&p, 1, 2);
      int fd;
      while ((fd = accept4(rig_.peer_listen, nullptr, nullptr, SOCK_CLOEXEC)) != -1) close(fd);
    }
    return true;
  }

 private:
  Rig& rig_;
  int client_ = -1;
  std::vector<int> client_fds_;  // the control connection and data connections, polled
  std::vector<int> ended_;       // client sockets the proxy has closed
  std::vector<int> peers_;       // the peer's side of the proxy's connections, oldest first
  uint16_t passive_port_ = 0;
  const bool trace_ = getenv("TW_SESSION_TRACE") != nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig* rig = MakeRig();
  if (size == 0) return 0;
  tw::ProxyServer& proxy = *rig->proxies[(data[0] & 7) % kProxyCount];
  proxy.SetLoginRequired((data[0] & 8) != 0);
  Session session(*rig);
  if (session.Connect(static_cast<uint16_t>(proxy.port()))) session.Play(data + 1, size - 1);
  if (!session.CloseAndDrain()) {
    fprintf(stderr, "%zu contexts still alive after the session ended\n", LiveContexts(*rig));
    abort();
  }
  return 0;
}
