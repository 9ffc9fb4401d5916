#include "tests/support/test_sockets.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace tw::test {

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int CountDir(const char* path) {
  DIR* d = opendir(path);
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n - (std::strcmp(path, "/proc/self/fd") == 0 ? 1 : 0);  // the directory's own fd
}

}  // namespace

int ListenLoopback(int backlog, uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Loopback(0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == -1 || listen(fd, backlog) == -1) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

uint16_t FreeLoopbackPort() {
  uint16_t port = 0;
  int fd = ListenLoopback(1, &port);
  if (fd != -1) close(fd);
  return port;
}

int ConnectLoopback(uint16_t port, int timeout_ms) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in a = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == -1) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadExactly(int fd, size_t n) {
  std::string out;
  out.resize(n);
  size_t got = 0;
  while (got < n) {
    ssize_t r = recv(fd, &out[got], n - got, 0);
    if (r == -1 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

std::string ReadUntilClose(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r == -1 && errno == EINTR) continue;
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

bool WaitForClose(int fd) {
  char buf[4096];
  for (;;) {
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r == 0) return true;
    if (r == -1 && errno == EINTR) continue;
    if (r == -1) return errno == ECONNRESET;
  }
}

bool NothingReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

std::string RunCommand(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = rc;
  return out;
}

int CountOpenDescriptors() {
  return CountDir("/proc/self/fd");
}
int CountThreads() {
  return CountDir("/proc/self/task");
}

int CountThreadsNamed(const std::string& prefix) {
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) continue;
    char name[64] = {};
    if (fgets(name, sizeof name, f) != nullptr && std::string(name).rfind(prefix, 0) == 0) ++n;
    fclose(f);
  }
  closedir(d);
  return n;
}

TestServer::TestServer(Mode mode) : mode_(mode) {
  listen_fd_ = ListenLoopback(128, &port_);
  acceptor_ = std::thread(&TestServer::AcceptLoop, this);
}

TestServer::~TestServer() {
  stop_ = true;
  shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  close(listen_fd_);
  CloseConnections();
  std::vector<std::thread> threads;
  {
    MutexLock lock(mu_);
    threads.swap(threads_);
  }
  for (std::thread& t : threads) t.join();
  MutexLock lock(mu_);
  for (int fd : fds_) close(fd);
}

void TestServer::CloseConnections() {
  MutexLock lock(mu_);
  for (int fd : fds_) shutdown(fd, SHUT_RDWR);
}

void TestServer::AcceptLoop() {
  while (!stop_) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd == -1) {
      if (stop_) return;
      continue;
    }
    accepted_.fetch_add(1);
    if (mode_ == kSilentClose) {
      close(fd);
      continue;
    }
    MutexLock lock(mu_);
    fds_.push_back(fd);
    threads_.emplace_back(&TestServer::Serve, this, fd);
  }
}

void TestServer::Serve(int fd) {
  if (mode_ == kHttp) {
    std::string request;
    char b[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = recv(fd, b, sizeof b, 0);
      if (n <= 0) break;
      request.append(b, static_cast<size_t>(n));
      bytes_.fetch_add(static_cast<uint64_t>(n));
    }
    std::string body = kHttpBody;
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    shutdown(fd, SHUT_RDWR);
    return;
  }
  std::vector<char> buf(65536);
  for (;;) {
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes_.fetch_add(static_cast<uint64_t>(n));
    if (mode_ == kEcho && !SendAll(fd, std::string(buf.data(), static_cast<size_t>(n)))) break;
  }
  shutdown(fd, SHUT_RDWR);
}

UnreachableListener::UnreachableListener() {
  listen_fd_ = ListenLoopback(0, &port_);
  // Fill the accept queue (never accepted) until a handshake is left unanswered; from then on
  // every connect to the port hangs.
  for (int i = 0; i < 16; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port_);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers_.push_back(fd);
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 300) == 0) break;
  }
}

UnreachableListener::~UnreachableListener() {
  for (int fd : fillers_) close(fd);
  close(listen_fd_);
}

}  // namespace tw::test
