#include "tests/support/dns_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

namespace tw {

namespace {

// The question's name in lower case and where the question ends; false when malformed.
bool ReadQuestion(const unsigned char* p, size_t n, std::string* name, size_t* end) {
  size_t i = 12;
  while (i < n && p[i] != 0) {
    size_t len = p[i];
    if (len > 63 || i + 1 + len > n) return false;
    if (!name->empty()) name->push_back('.');
    for (size_t k = 0; k < len; ++k) {
      name->push_back(static_cast<char>(std::tolower(p[i + 1 + k])));
    }
    i += 1 + len;
  }
  if (i + 5 > n) return false;
  *end = i + 5;  // the zero label, QTYPE, QCLASS
  return true;
}

}  // namespace

DnsTestServer::DnsTestServer(std::map<std::string, std::string> answers)
    : answers_(std::move(answers)) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  wake_ = eventfd(0, EFD_CLOEXEC);
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd_ == -1 || wake_ == -1 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == -1 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == -1) {
    return;
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread(&DnsTestServer::Loop, this);
}

DnsTestServer::~DnsTestServer() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    ssize_t rc = write(wake_, &one, sizeof one);
    (void)rc;
    thread_.join();
  }
  if (fd_ != -1) close(fd_);
  if (wake_ != -1) close(wake_);
}

std::string DnsTestServer::Address() const {
  return "127.0.0.1:" + std::to_string(port_);
}

void DnsTestServer::Loop() {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (poll(fds, 2, -1) == -1 || fds[1].revents != 0) return;
    unsigned char q[512];
    sockaddr_in from;
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(fd_, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    std::string name;
    size_t end = 0;
    if (n < 12 || !ReadQuestion(q, static_cast<size_t>(n), &name, &end)) continue;
    auto it = answers_.find(name);
    in_addr a;
    if (it == answers_.end() || inet_pton(AF_INET, it->second.c_str(), &a) != 1) {
      ++ignored_;
      continue;
    }
    unsigned char r[512 + 16];
    std::memcpy(r, q, end);
    r[2] = 0x81;               // a response, recursion desired
    r[3] = 0x80;               // recursion available, no error
    r[4] = 0, r[5] = 1;        // one question
    r[6] = 0, r[7] = 1;        // one answer
    std::memset(r + 8, 0, 4);  // no authority, no additional records
    const unsigned char answer[] = {0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
    std::memcpy(r + end, answer, sizeof answer);
    std::memcpy(r + end + sizeof answer, &a, 4);
    sendto(fd_, r, end + sizeof answer + 4, 0, reinterpret_cast<sockaddr*>(&from), from_len);
  }
}

}  // namespace tw
