#pragma once
// An FTP proxy on an ephemeral port over a fresh data directory, a real FTP server (pyftpdlib,
// in a child process) with a directory of its own, and the activity texts the proxy posts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/account_tables.h"
#include "config/activity_log.h"
#include "config/installation.h"
#include "config/protocols.h"
#include "engine/core/io_context.h"
#include "engine/core/proxy_server.h"
#include "engine/ftp/ftp_data_channels.h"
#include "engine/ftp/ftp_messages.h"
#include "platform/address_text.h"
#include "proxy_fixture.h"
#include "tests/support/test_sockets.h"

namespace tw::test {

// pyftpdlib on 127.0.0.1, an ephemeral port printed on its first output line; the user
// "alice" (password "wonder") and anonymous share one writable root.
constexpr char kFtpServerScript[] = R"(
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.disable(logging.CRITICAL)
root = sys.argv[1]
auth = DummyAuthorizer()
auth.add_user("alice", "wonder", root, perm="elradfmwMT")
auth.add_anonymous(root)
FTPHandler.authorizer = auth
FTPHandler.banner = "test server ready"
server = FTPServer(("127.0.0.1", 0), FTPHandler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
)";

class FtpServerProcess {
 public:
  explicit FtpServerProcess(const std::string& root) {
    int out[2];
    if (pipe(out) == -1) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execl("/usr/bin/python3", "python3", "-c", kFtpServerScript, root.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    // The first line is the port; the server accepts from the moment it is printed.
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
      if (poll(&p, 1, 1000) <= 0) continue;
      char buf[64];
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    port_ = static_cast<uint16_t>(std::atoi(line.c_str()));
  }
  ~FtpServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// A TCP connection to 127.0.0.1:port from the loopback address `from` (any 127.x.y.z), with a
// receive time limit; -1 on failure.
inline int ConnectFrom(const char* from, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in src{};
  src.sin_family = AF_INET;
  inet_pton(AF_INET, from, &src.sin_addr);
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  dst.sin_port = htons(port);
  dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) == -1 ||
      connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) == -1) {
    close(fd);
    return -1;
  }
  return fd;
}

// One FTP control connection spoken reply by reply.
class ControlClient {
 public:
  explicit ControlClient(uint16_t port, const char* from = "127.0.0.1")
      : fd_(ConnectFrom(from, port)) {}
  ~ControlClient() {
    if (fd_ != -1) close(fd_);
  }
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  int fd() const { return fd_; }
  bool Send(const std::string& bytes) { return SendAll(fd_, bytes); }
  std::string Command(const std::string& line) {
    Send(line + "\r\n");
    return Reply();
  }
  // The next whole reply, every line of it; "" when the connection ended first.
  std::string Reply() {
    for (;;) {
      size_t end = WholeReply();
      if (end != 0) {
        std::string reply = pending_.substr(0, end);
        pending_.erase(0, end);
        return reply;
      }
      char buf[4096];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return "";
      pending_.append(buf, static_cast<size_t>(n));
    }
  }
  void Close() {
    if (fd_ != -1) close(fd_);
    fd_ = -1;
  }

 private:
  // Length of the first whole reply in pending_, 0 when none yet.
  size_t WholeReply() const {
    size_t pos = 0;
    std::string code;
    for (;;) {
      size_t nl = pending_.find('\n', pos);
      if (nl == std::string::npos) return 0;
      std::string line = pending_.substr(pos, nl - pos);
      pos = nl + 1;
      if (code.empty()) {
        if (line.size() < 4) return pos;
        code = line.substr(0, 3);
        if (line[3] != '-') return pos;
      } else if (line.size() >= 4 && line.compare(0, 3, code) == 0 && line[3] == ' ') {
        return pos;
      }
    }
  }

  int fd_;
  std::string pending_;
};

// The port of a passive reply and its address text; 0 when it is not one.
inline uint16_t PassivePort(const std::string& reply, std::string* address = nullptr) {
  uint32_t a = 0;
  uint16_t port = 0;
  if (!ParsePassiveReply(reply, &a, &port)) return 0;
  if (address != nullptr) *address = AddressText(a);
  return port;
}

class FtpFixture : public ProxyFixture {
 protected:
  void SetUp() override {
    ProxyFixture::SetUp();
    root_ = data_dir_ + "/root";
    work_ = data_dir_ + "/work";
    RunCommand("mkdir -p '" + root_ + "' '" + work_ + "'");
  }

  void TearDown() override {
    ProxyFixture::TearDown();
    server_.reset();
  }

  void StartServer() {
    server_ = std::make_unique<FtpServerProcess>(root_);
    ASSERT_NE(server_->port(), 0) << "the FTP server did not start";
  }

  void StartProxy(int authMode = 0, const std::string& guestRange = "") {
    NewProxy(kProtocolFtp, authMode, guestRange).ftp.dataPortRangeOn = true;
    ASSERT_TRUE(proxy_->Start(settings_));
  }

  void AddUser(const std::string& name, const std::string& password, int ftp) {
    AddUserWithRules(name, password, [ftp](AccountRules* r) { r->server2 = ftp; });
  }

  // A file of pseudo-random bytes in dir; returns its contents.
  static std::string MakeFile(const std::string& path, size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    std::ofstream(path, std::ios::binary) << data;
    return data;
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string ProxyAddress() const { return "127.0.0.1:" + std::to_string(proxy_->port()); }
  std::string ServerAddress() const { return "127.0.0.1:" + std::to_string(server_->port()); }
  // Listeners still waiting for their data connection.
  size_t Listeners() {
    size_t count = 0;
    proxy_->UseService([] { return std::unique_ptr<ProtocolService>(); },
                       [&count](ProtocolService& s) {
                         if (auto* l = dynamic_cast<FtpDataListeners*>(&s)) count = l->Count();
                       });
    return count;
  }

  std::string root_, work_;
  std::unique_ptr<FtpServerProcess> server_;
};

}  // namespace tw::test
