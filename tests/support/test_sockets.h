#pragma once
// Blocking sockets for tests and benchmarks, with a receive time limit so a test that goes
// wrong fails instead of hanging, and small servers to stand as destinations.
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"

namespace tw::test {

// A listening socket on 127.0.0.1 with an ephemeral port (written to *port); -1 on failure.
int ListenLoopback(int backlog, uint16_t* port);
// A port of 127.0.0.1 that was free a moment ago.
uint16_t FreeLoopbackPort();

// Connects to 127.0.0.1:port; -1 on failure. Reads time out after timeout_ms.
int ConnectLoopback(uint16_t port, int timeout_ms = 10000);
bool SendAll(int fd, const std::string& data);
// The bytes given as numbers 0-255, as a string (binary protocol messages).
inline std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}
// Reads exactly n bytes; returns what arrived before a close or time-out otherwise.
std::string ReadExactly(int fd, size_t n);
// Reads until the peer closes or the time limit passes.
std::string ReadUntilClose(int fd);
// True when the peer has closed (a read returns 0) within the time limit.
bool WaitForClose(int fd);
// True when nothing (no data, no close) is readable right now.
bool NothingReadable(int fd);

// Runs a shell command; returns its standard output, and its exit status in *status.
std::string RunCommand(const std::string& command, int* status = nullptr);

int CountOpenDescriptors();
int CountThreads();
// Threads of this process whose name starts with prefix (the engine names its threads tw-...).
int CountThreadsNamed(const std::string& prefix);

// A listener on 127.0.0.1 (ephemeral port). Mode kEcho sends back what it reads; kSink reads
// and counts; kSilentClose accepts and closes at once; kHttp answers each request (read up to
// its blank line) with a 200 response whose body is kHttpBody, and closes. One thread per
// connection.
class TestServer {
 public:
  enum Mode { kEcho, kSink, kSilentClose, kHttp };
  static constexpr const char* kHttpBody = "hello from the origin\n";
  explicit TestServer(Mode mode);
  ~TestServer();
  uint16_t port() const { return port_; }
  uint64_t bytes_received() const { return bytes_.load(); }
  int accepted() const { return accepted_.load(); }
  // Closes every accepted connection now (a destination that goes away).
  void CloseConnections();

 private:
  void AcceptLoop();
  void Serve(int fd);

  Mode mode_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> bytes_{0};
  std::atomic<int> accepted_{0};
  std::thread acceptor_;
  Mutex mu_;
  std::vector<std::thread> threads_ GUARDED_BY(mu_);
  std::vector<int> fds_ GUARDED_BY(mu_);
};

// A listener whose accept queue is full: connects to it are never answered.
class UnreachableListener {
 public:
  UnreachableListener();
  ~UnreachableListener();
  uint16_t port() const { return port_; }

 private:
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::vector<int> fillers_;
};

}  // namespace tw::test
