#pragma once
// A scripted line server on 127.0.0.1 (ephemeral port) standing in for a real mail server:
// it sends its greeting, then answers every line it receives with what the script returns,
// and records the lines (without their line end) for the test to check. One thread per
// connection; the destructor closes everything.
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"

namespace tw::test {

class MailTestServer {
 public:
  struct Answer {
    // Written one after the other, each by its own write with a pause between, so the peer
    // may see them in separate reads.
    std::vector<std::string> writes;
    bool close = false;  // close the connection after the writes
  };
  using Script = std::function<Answer(const std::string& line)>;

  // greeting_writes: written on accept the same way as an answer's writes.
  MailTestServer(std::vector<std::string> greeting_writes, Script script);
  ~MailTestServer();
  MailTestServer(const MailTestServer&) = delete;
  MailTestServer& operator=(const MailTestServer&) = delete;

  uint16_t port() const { return port_; }
  int accepted();
  // The lines received so far on every connection, in order.
  std::vector<std::string> Lines();
  // Waits (up to 10 s) until at least n lines have arrived; returns them.
  std::vector<std::string> WaitForLines(size_t n);

  // A script for a small POP3 mailbox holding `messages` (each with CR LF line ends): USER,
  // PASS, STAT, LIST, UIDL, RETR, DELE, NOOP, RSET, CAPA and QUIT.
  static Script Pop3Mailbox(std::vector<std::string> messages);

 private:
  void AcceptLoop();
  void Serve(int fd);
  void Write(int fd, const std::vector<std::string>& writes);

  std::vector<std::string> greeting_;
  Script script_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  Mutex mu_;
  CondVar cv_;
  bool stop_ GUARDED_BY(mu_) = false;
  int accepted_ GUARDED_BY(mu_) = 0;
  std::vector<std::string> lines_ GUARDED_BY(mu_);
  std::vector<int> fds_ GUARDED_BY(mu_);
  std::vector<std::thread> threads_ GUARDED_BY(mu_);
};

}  // namespace tw::test
