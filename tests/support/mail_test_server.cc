#include "tests/support/mail_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace tw::test {

namespace {

// Long enough for the proxy to take what came before as a read of its own.
constexpr auto kWriteGap = std::chrono::milliseconds(100);

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

}  // namespace

MailTestServer::MailTestServer(std::vector<std::string> greeting_writes, Script script)
    : greeting_(std::move(greeting_writes)), script_(std::move(script)) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      listen(listen_fd_, 64) == 0) {
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  acceptor_ = std::thread(&MailTestServer::AcceptLoop, this);
}

MailTestServer::~MailTestServer() {
  {
    MutexLock lock(mu_);
    stop_ = true;
    for (int fd : fds_) shutdown(fd, SHUT_RDWR);
  }
  shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  close(listen_fd_);
  std::vector<std::thread> threads;
  {
    MutexLock lock(mu_);
    threads.swap(threads_);
  }
  for (std::thread& t : threads) t.join();
  for (int fd : fds_) close(fd);
}

int MailTestServer::accepted() {
  MutexLock lock(mu_);
  return accepted_;
}

std::vector<std::string> MailTestServer::Lines() {
  MutexLock lock(mu_);
  return lines_;
}

std::vector<std::string> MailTestServer::WaitForLines(size_t n) {
  MutexLock lock(mu_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (lines_.size() < n) {
    if (!cv_.WaitUntil(mu_, deadline)) break;
  }
  return lines_;
}

void MailTestServer::AcceptLoop() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    MutexLock lock(mu_);
    if (stop_) {
      if (fd != -1) close(fd);
      return;
    }
    if (fd == -1) continue;
    ++accepted_;
    fds_.push_back(fd);
    threads_.emplace_back(&MailTestServer::Serve, this, fd);
  }
}

void MailTestServer::Write(int fd, const std::vector<std::string>& writes) {
  for (size_t i = 0; i < writes.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(kWriteGap);
    if (!WriteAll(fd, writes[i])) return;
  }
}

void MailTestServer::Serve(int fd) {
  Write(fd, greeting_);
  std::string pending;
  char buf[4096];
  for (;;) {
    size_t lf;
    while ((lf = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, lf);
      pending.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      {
        MutexLock lock(mu_);
        lines_.push_back(line);
      }
      cv_.NotifyAll();
      Answer a = script_(line);
      Write(fd, a.writes);
      if (a.close) {
        shutdown(fd, SHUT_RDWR);
        return;
      }
    }
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    pending.append(buf, static_cast<size_t>(n));
  }
}

MailTestServer::Script MailTestServer::Pop3Mailbox(std::vector<std::string> messages) {
  return [messages = std::move(messages)](const std::string& line) -> Answer {
    std::string verb = Upper(line.substr(0, line.find(' ')));
    std::string arg = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
    auto message = [&](std::string* out) {
      size_t i = static_cast<size_t>(std::atoi(arg.c_str()));
      if (i < 1 || i > messages.size()) return false;
      *out = messages[i - 1];
      return true;
    };
    std::string m;
    if (verb == "USER" || verb == "PASS") return {{"+OK\r\n"}};
    if (verb == "STAT") {
      size_t total = 0;
      for (const std::string& x : messages) total += x.size();
      return {{"+OK " + std::to_string(messages.size()) + " " + std::to_string(total) + "\r\n"}};
    }
    if (verb == "LIST" || verb == "UIDL") {
      if (!arg.empty()) {
        if (!message(&m)) return {{"-ERR no such message\r\n"}};
        return {{"+OK " + arg + " " + (verb == "LIST" ? std::to_string(m.size()) : "uid" + arg) +
                 "\r\n"}};
      }
      std::string r = "+OK\r\n";
      for (size_t i = 0; i < messages.size(); ++i) {
        r += std::to_string(i + 1) + " " +
             (verb == "LIST" ? std::to_string(messages[i].size()) : "uid" + std::to_string(i + 1)) +
             "\r\n";
      }
      return {{r + ".\r\n"}};
    }
    if (verb == "RETR") {
      if (!message(&m)) return {{"-ERR no such message\r\n"}};
      // Byte-stuffing of lines that begin with ".".
      std::string body;
      size_t at = 0;
      while (at < m.size()) {
        size_t end = m.find("\r\n", at);
        end = end == std::string::npos ? m.size() : end + 2;
        if (m[at] == '.') body += '.';
        body += m.substr(at, end - at);
        at = end;
      }
      return {{"+OK " + std::to_string(m.size()) + " octets\r\n" + body + ".\r\n"}};
    }
    if (verb == "DELE" || verb == "NOOP" || verb == "RSET") return {{"+OK\r\n"}};
    if (verb == "CAPA") return {{"+OK\r\nUSER\r\nUIDL\r\n.\r\n"}};
    if (verb == "QUIT") return {{"+OK bye\r\n"}, true};
    return {{"-ERR unknown command\r\n"}};
  };
}

}  // namespace tw::test
