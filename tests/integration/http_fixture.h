#pragma once
// An HTTP proxy on an ephemeral port over a fresh data directory, a web server that records
// the bytes it receives, and a real FTP server (pyftpdlib) for the gateway; activity texts are
// collected for the test to read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/account_tables.h"
#include "config/activity_log.h"
#include "config/installation.h"
#include "engine/core/io_context.h"
#include "engine/core/proxy_server.h"
#include "engine/http/ftp_gateway_jobs.h"
#include "engine/http/http_proxy.h"
#include "engine/policy/schedule_list.h"
#include "engine/policy/web_filter_list.h"
#include "hosting/startup_data.h"
#include "platform/mutex.h"
#include "proxy_fixture.h"
#include "tests/support/test_sockets.h"

namespace tw::test {

// Where a request whose head ends at head_end (just past its blank line) ends, counting its
// Content-Length or chunked body; npos while it has not arrived whole.
inline size_t RequestEnd(const std::string& data, size_t head_end) {
  std::string head = data.substr(0, head_end);
  if (head.find("Transfer-Encoding: chunked") == std::string::npos) {
    size_t cl = head.find("Content-Length: ");
    size_t body = cl == std::string::npos ? 0 : std::stoul(head.substr(cl + 16));
    return data.size() < head_end + body ? std::string::npos : head_end + body;
  }
  size_t pos = head_end;
  for (;;) {
    size_t eol = data.find("\r\n", pos);
    if (eol == std::string::npos) return eol;
    size_t size = std::stoul(data.substr(pos, eol - pos), nullptr, 16);
    pos = eol + 2;
    if (size == 0) break;
    if (data.size() < pos + size + 2) return std::string::npos;
    pos += size + 2;
  }
  // Trailer lines up to the blank line.
  for (;;) {
    size_t eol = data.find("\r\n", pos);
    if (eol == std::string::npos) return eol;
    if (eol == pos) return pos + 2;
    pos = eol + 2;
  }
}

// Reads one response with a Content-Length body (or up to the close when it has none).
inline std::string ReadResponse(int fd) {
  std::string data;
  for (;;) {
    size_t end = data.find("\r\n\r\n");
    if (end != std::string::npos) {
      size_t cl = data.find("Content-Length: ");
      if (cl == std::string::npos || cl > end) return data + ReadUntilClose(fd);
      size_t want = end + 4 + std::stoul(data.substr(cl + 16));
      if (data.size() >= want) return data;
      return data + ReadExactly(fd, want - data.size());
    }
    std::string more = ReadExactly(fd, 1);
    if (more.empty()) return data;
    data += more;
  }
}

// A web server on 127.0.0.1 that keeps every byte each connection sent. Every request (header
// block plus a Content-Length or chunked body) is answered with "reply N" (N counts requests
// over all connections), or with what the test's responder makes of the request, and the
// connection stays open until the client closes it, or until the script ends it: the connection
// that sends reply n closes after it (CloseAfterReply), the one that receives request n closes
// without answering it (CloseUnanswered).
class RecordingOrigin {
 public:
  using Responder = std::function<std::string(const std::string& request, int n)>;
  explicit RecordingOrigin(Responder responder = nullptr) : responder_(std::move(responder)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listen_fd_, 64);
    socklen_t len = sizeof addr;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~RecordingOrigin() {
    shutdown(listen_fd_, SHUT_RDWR);
    acceptor_.join();
    close(listen_fd_);
    {
      MutexLock lock(mu_);
      for (int fd : fds_) shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : threads_) t.join();
    for (int fd : fds_) close(fd);
  }
  uint16_t port() const { return port_; }
  void CloseAfterReply(int n) { close_after_reply_.store(n); }
  void CloseUnanswered(int n) { close_unanswered_.store(n); }
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }

  // What connection i has received so far.
  std::string Received(size_t i) {
    MutexLock lock(mu_);
    return i < received_.size() ? received_[i] : "";
  }
  size_t Connections() {
    MutexLock lock(mu_);
    return received_.size();
  }
  // True once connection i has been closed or shut down by the proxy.
  bool Ended(size_t i) {
    MutexLock lock(mu_);
    return i < ended_.size() && ended_[i];
  }

 private:
  void AcceptLoop() {
    for (;;) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd == -1) return;
      MutexLock lock(mu_);
      size_t index = received_.size();
      received_.emplace_back();
      ended_.push_back(false);
      fds_.push_back(fd);
      threads_.emplace_back([this, fd, index] { Serve(fd, index); });
    }
  }

  void Serve(int fd, size_t index) {
    std::string pending;
    char buf[16384];
    for (;;) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      pending.append(buf, static_cast<size_t>(n));
      {
        MutexLock lock(mu_);
        received_[index].append(buf, static_cast<size_t>(n));
      }
      for (;;) {
        size_t end = pending.find("\r\n\r\n");
        if (end == std::string::npos) break;
        size_t request_end = RequestEnd(pending, end + 4);
        if (request_end == std::string::npos) break;
        std::string request = pending.substr(0, request_end);
        pending.erase(0, request_end);
        int n = ++replies_;
        if (n == close_unanswered_.load()) return End(fd, index);
        std::string text = "reply " + std::to_string(n) + "\n";
        std::string response =
            responder_ ? responder_(request, n)
                       : "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) +
                             "\r\n\r\n" + text;
        if (!SendAll(fd, response) || n == close_after_reply_.load()) return End(fd, index);
      }
    }
    End(fd, index);
  }

  void End(int fd, size_t index) {
    shutdown(fd, SHUT_RDWR);
    MutexLock lock(mu_);
    ended_[index] = true;
  }

  Responder responder_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  Mutex mu_;
  std::vector<std::string> received_ GUARDED_BY(mu_);
  std::vector<bool> ended_ GUARDED_BY(mu_);
  std::vector<int> fds_ GUARDED_BY(mu_);
  std::vector<std::thread> threads_ GUARDED_BY(mu_);
  std::atomic<int> replies_{0};
  std::atomic<int> close_after_reply_{0};
  std::atomic<int> close_unanswered_{0};
};

// pyftpdlib on 127.0.0.1 (ephemeral port) over a directory tree the test fills. Users:
// anonymous (root "anon"), bob/secret ("bob"), carol/WebUsr@ ("carol"), "a@b" with password
// "p:w" ("ab"); all read-only.
class GatewayFtpServer {
 public:
  explicit GatewayFtpServer(const std::string& root) : root_(root) {
    for (const char* d : {"anon", "bob", "carol", "ab"}) {
      RunCommand("mkdir -p '" + root_ + "/" + d + "'");
    }
    std::string script = root_ + "/server.py";
    std::ofstream(script) << kScript;
    std::string port_file = root_ + "/port";
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      execl("/usr/bin/python3", "python3", script.c_str(), root_.c_str(), port_file.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    WaitUntil([&] {
      std::ifstream in(port_file);
      int p = 0;
      if (in >> p) port_ = static_cast<uint16_t>(p);
      return port_ != 0;
    });
  }
  ~GatewayFtpServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  uint16_t port() const { return port_; }
  std::string Url(const std::string& userinfo, const std::string& path) const {
    return "ftp://" + userinfo + "127.0.0.1:" + std::to_string(port_) + path;
  }
  void WriteFile(const std::string& relative, const std::string& content) {
    std::string path = root_ + "/" + relative;
    RunCommand("mkdir -p \"$(dirname '" + path + "')\"");
    std::ofstream(path, std::ios::binary) << content;
  }
  void MakeDir(const std::string& relative) {
    RunCommand("mkdir -p '" + root_ + "/" + relative + "'");
  }

 private:
  static constexpr const char* kScript = R"PY(
import os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
root, port_file = sys.argv[1], sys.argv[2]
auth = DummyAuthorizer()
auth.add_anonymous(os.path.join(root, "anon"))
auth.add_user("bob", "secret", os.path.join(root, "bob"), perm="elr")
auth.add_user("carol", "WebUsr@", os.path.join(root, "carol"), perm="elr")
auth.add_user("a@b", "p:w", os.path.join(root, "ab"), perm="elr")
FTPHandler.authorizer = auth
FTPHandler.auth_failed_timeout = 0
server = FTPServer(("127.0.0.1", 0), FTPHandler)
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.socket.getsockname()[1]))
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
)PY";

  std::string root_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

class HttpFixture : public ProxyFixture {
 protected:
  void BeforeStop() override {
    EXPECT_TRUE(WaitUntil([] { return FtpFetchCount() == 0; })) << "every fetch is ended";
  }

  void StartProxy(int authMode = 0, const std::string& guestRange = "") {
    NewProxy(kProtocolHttp, authMode, guestRange);
    settings_.http.webFilters = std::make_shared<const WebFilterList>(filters_);
    settings_.schedules = std::make_shared<const ScheduleList>(schedules_);
    settings_.http.ftpGatewayTimeoutMs = ftp_timeout_ms_;
    LoadRefusalPages(data_dir_, &settings_.http);
    ASSERT_TRUE(proxy_->Start(settings_));
  }

  // A user with rights on the HTTP proxy; the callback sets further rules.
  void AddUser(const std::string& name, const std::string& password,
               const std::function<void(AccountRules*)>& rules = nullptr) {
    AddUserWithRules(name, password, [&rules](AccountRules* r) {
      r->server1 = 1;
      if (rules) rules(r);
    });
  }
  std::string ProxyFlag() const { return " -x http://127.0.0.1:" + std::to_string(proxy_->port()); }

  // curl with the proxy and the given arguments; its standard output.
  std::string Curl(const std::string& args, int* status = nullptr) {
    return RunCommand("curl -s --max-time 20" + ProxyFlag() + " " + args, status);
  }

  std::string ReadFile(const char* name) {
    std::ifstream in(data_dir_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  WebFilterList filters_;
  ScheduleList schedules_;
  uint32_t ftp_timeout_ms_ = 30000;
};

}  // namespace tw::test
