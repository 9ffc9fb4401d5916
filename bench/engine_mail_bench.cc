// Mail proxy benchmark, on loopback against scripted mail servers in the same process:
//  - session set-up: connect, greeting, the proxy's dialogue with the server, the server's first
//    answer back, QUIT; POP3 and SMTP through the proxy against the same dialogue straight to
//    the server;
//  - retrieval: a large message fetched by RETR through the POP3 proxy against straight from
//    the server.
// Usage: engine_mail_bench [sessions=300] [message MiB=8] [retrievals=8]
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/core/proxy_server.h"
#include "engine/mail/mail_messages.h"
#include "engine/proxy_protocols.h"
#include "tests/support/mail_test_server.h"
#include "tests/support/test_sockets.h"

namespace {

using tw::test::MailTestServer;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Reads up to and including the next line end, or "" on a close or time-out.
std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (recv(fd, &c, 1, 0) == 1) {
    line += c;
    if (c == '\n') return line;
  }
  return "";
}

// Reads until the POP3 multi-line terminator; returns the bytes read.
size_t ReadMultiLine(int fd) {
  std::string tail;
  std::vector<char> buf(65536);
  size_t total = 0;
  for (;;) {
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) return total;
    total += static_cast<size_t>(n);
    tail.append(buf.data(), static_cast<size_t>(n));
    if (tail.size() > 5) tail.erase(0, tail.size() - 5);
    if (tail == "\r\n.\r\n") return total;
  }
}

bool Pop3Session(uint16_t port, const std::string& user) {
  int fd = tw::test::ConnectLoopback(port);
  if (fd == -1) return false;
  bool ok = ReadLine(fd).rfind("+OK", 0) == 0 && tw::test::SendAll(fd, "USER " + user + "\r\n") &&
            ReadLine(fd).rfind("+OK", 0) == 0 && tw::test::SendAll(fd, "QUIT\r\n") &&
            ReadLine(fd).rfind("+OK", 0) == 0;
  close(fd);
  return ok;
}

// Up to the server's password prompt, as a mail program logging in sees it.
bool SmtpSession(uint16_t port, const std::string& user_b64, bool through_proxy) {
  int fd = tw::test::ConnectLoopback(port);
  if (fd == -1) return false;
  bool ok = ReadLine(fd).rfind("220", 0) == 0 && tw::test::SendAll(fd, "EHLO pc\r\n");
  if (ok && through_proxy) ok = ReadLine(fd) == "250 AUTH LOGIN\r\n";
  if (ok && !through_proxy) {
    std::string line;
    do line = ReadLine(fd);
    while (line.rfind("250-", 0) == 0);
    ok = line.rfind("250 ", 0) == 0;
  }
  ok = ok && tw::test::SendAll(fd, "AUTH LOGIN\r\n") && ReadLine(fd).rfind("334", 0) == 0 &&
       tw::test::SendAll(fd, user_b64 + "\r\n") && ReadLine(fd) == "334 UGFzc3dvcmQ6\r\n" &&
       tw::test::SendAll(fd, "QUIT\r\n");
  close(fd);
  return ok;
}

// Sessions per second of `one` run `count` times (0 when any failed).
template <typename F>
double Rate(int count, F one) {
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (!one()) return 0;
  }
  return count / Seconds(start);
}

// MB/s of `count` RETR of message 1 in one session.
double Retrieve(uint16_t port, const std::string& user, int count, size_t message_size) {
  int fd = tw::test::ConnectLoopback(port, 60000);
  if (fd == -1 || ReadLine(fd).empty() || !tw::test::SendAll(fd, "USER " + user + "\r\n") ||
      ReadLine(fd).empty()) {
    return 0;
  }
  auto start = Clock::now();
  size_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (!tw::test::SendAll(fd, "RETR 1\r\n")) return 0;
    size_t got = ReadMultiLine(fd);
    if (got < message_size) return 0;
    total += got;
  }
  double seconds = Seconds(start);
  close(fd);
  return static_cast<double>(total) / (1024.0 * 1024.0) / seconds;
}

MailTestServer::Script SmtpScript() {
  return [](const std::string& line) -> MailTestServer::Answer {
    if (line.rfind("EHLO", 0) == 0) return {{"250-mail.test\r\n250 AUTH LOGIN\r\n"}};
    if (line == "AUTH LOGIN") return {{"334 VXNlcm5hbWU6\r\n"}};
    if (line == "QUIT") return {{"221 bye\r\n"}, true};
    return {{"334 UGFzc3dvcmQ6\r\n"}};
  };
}

void Row(const char* what, double value, double base, const char* unit) {
  printf("%-34s %12.1f %-10s %8.2f\n", what, value, unit, base > 0 ? value / base : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  int sessions = argc > 1 ? atoi(argv[1]) : 300;
  size_t message_mib = argc > 2 ? static_cast<size_t>(atoi(argv[2])) : 8;
  int retrievals = argc > 3 ? atoi(argv[3]) : 8;

  std::string message;
  message.reserve(message_mib << 20);
  while (message.size() < (message_mib << 20)) message += std::string(76, 'm') + "\r\n";
  MailTestServer pop3({"+OK ready\r\n"}, MailTestServer::Pop3Mailbox({message}));
  MailTestServer smtp({"220 ready\r\n"}, SmtpScript());

  tw::ProxyServer pop3_proxy(tw::kProtocolPop3, tw::ProtocolFor(tw::kProtocolPop3));
  tw::ProxyServer smtp_proxy(tw::kProtocolSmtp, tw::ProtocolFor(tw::kProtocolSmtp));
  tw::ListenerSettings settings;
  settings.allowLocalDestinations = true;  // the mail servers run on loopback
  settings.maxConnectionsPerClient = 0;  // every client comes from 127.0.0.1
  if (!pop3_proxy.Start(settings) || !smtp_proxy.Start(settings)) {
    fprintf(stderr, "cannot start the proxies\n");
    return 1;
  }
  uint16_t p3 = static_cast<uint16_t>(pop3_proxy.port()),
           sm = static_cast<uint16_t>(smtp_proxy.port());
  std::string target = "127.0.0.1:" + std::to_string(pop3.port());
  std::string smtp_user = tw::Base64Encode("bench#127.0.0.1:" + std::to_string(smtp.port()));

  double pop3_direct = Rate(sessions, [&] { return Pop3Session(pop3.port(), "bench"); });
  double pop3_proxied = Rate(sessions, [&] { return Pop3Session(p3, "bench#" + target); });
  double smtp_direct =
      Rate(sessions, [&] { return SmtpSession(smtp.port(), tw::Base64Encode("bench"), false); });
  double smtp_proxied = Rate(sessions, [&] { return SmtpSession(sm, smtp_user, true); });
  double retr_direct = Retrieve(pop3.port(), "bench", retrievals, message.size());
  double retr_proxied = Retrieve(p3, "bench#" + target, retrievals, message.size());

  printf("mail proxy benchmark: %d sessions each, %d RETR of a %zu MiB message, loopback\n",
         sessions, retrievals, message_mib);
  printf("%-34s %12s %-10s %8s\n", "path", "value", "unit", "ratio");
  Row("POP3 session, direct", pop3_direct, pop3_direct, "sessions/s");
  Row("POP3 session, through the proxy", pop3_proxied, pop3_direct, "sessions/s");
  Row("SMTP login, direct", smtp_direct, smtp_direct, "sessions/s");
  Row("SMTP login, through the proxy", smtp_proxied, smtp_direct, "sessions/s");
  Row("POP3 RETR, direct", retr_direct, retr_direct, "MB/s");
  Row("POP3 RETR, through the proxy", retr_proxied, retr_direct, "MB/s");
  pop3_proxy.Stop();
  smtp_proxy.Stop();
  bool failed = pop3_direct == 0 || pop3_proxied == 0 || smtp_direct == 0 || smtp_proxied == 0 ||
                retr_direct == 0 || retr_proxied == 0;
  if (failed) fprintf(stderr, "a run failed (value 0)\n");
  return failed ? 1 : 0;
}
