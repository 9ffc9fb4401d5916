// Soak run: the five proxies of the server manager in this process, under mixed clients for a
// long time, with clients that drop their connections at random points of their dialogues.
// Reports this process's resident memory, open descriptors and live connection contexts at the
// start, every minute and after the clients are gone, and checks that descriptors and contexts
// return to their start values and that memory levels off (no growth over the last two thirds
// of the run). Not part of CI: scripts/soak builds and runs it.
//
// The clients and the servers they reach (web, echo for tunnels and FTP data, FTP, POP3 and
// SMTP) run in a child process, so every figure measured here is the proxies' own.
//
// Usage: hosting_soak [--minutes N=30] [--clients N=6]
// Exit status 0 when descriptors and contexts came back and memory levelled off.
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/installation.h"
#include "config/protocols.h"
#include "engine/core/io_context.h"
#include "engine/ftp/ftp_messages.h"
#include "hosting/server_manager.h"
#include "platform/base64.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_sockets.h"

namespace {

using Clock = std::chrono::steady_clock;

// The kinds of client session, each counted on its own.
enum Kind { kHttpGet, kConnect, kSocks4, kSocks5, kFtp, kPop3, kSmtp, kKinds };
constexpr const char* kKindNames[kKinds] = {"http", "connect", "socks4", "socks5",
                                            "ftp",  "pop3",    "smtp"};

// Shared with the traffic child (an anonymous shared mapping made before the fork).
struct Shared {
  std::atomic<bool> stop{false};
  std::atomic<bool> ready{false};   // the proxies listen: the child may begin
  std::atomic<bool> warmed{false};  // the child ran one session of each kind
  std::atomic<bool> go{false};      // the start figures are taken: the clients may run
  std::atomic<uint64_t> done[kKinds];
  std::atomic<uint64_t> aborted;
  std::atomic<uint64_t> errors;
  std::atomic<uint64_t> sample_errors;  // the first failing kind + 1, for the report
};

// A blocking socket with a read buffer: lines and fixed counts. Reads time out (the socket's
// receive limit), so a session that goes wrong fails instead of hanging.
class Conn {
 public:
  explicit Conn(int fd) : fd_(fd) {}
  ~Conn() { Close(); }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  bool ok() const { return fd_ != -1; }
  int fd() const { return fd_; }
  bool Send(const std::string& s) { return fd_ != -1 && tw::test::SendAll(fd_, s); }
  // The next line without its line end; false on close or time-out.
  bool Line(std::string* line) {
    for (;;) {
      size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        *line = buf_.substr(0, nl > 0 && buf_[nl - 1] == '\r' ? nl - 1 : nl);
        buf_.erase(0, nl + 1);
        return true;
      }
      if (!Fill()) return false;
    }
  }
  bool Exactly(size_t n, std::string* out) {
    while (buf_.size() < n) {
      if (!Fill()) return false;
    }
    *out = buf_.substr(0, n);
    buf_.erase(0, n);
    return true;
  }
  // Reads until the peer closes; the bytes in *out.
  void Rest(std::string* out) {
    while (Fill()) {
    }
    *out = std::move(buf_);
  }
  // Drops the connection with a reset, as a client that crashes or is killed.
  void Abort() {
    linger reset{1, 0};
    if (fd_ != -1) setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    Close();
  }
  void Close() {
    if (fd_ != -1) close(fd_);
    fd_ = -1;
  }

 private:
  bool Fill() {
    char chunk[4096];
    ssize_t n = fd_ == -1 ? -1 : recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buf_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  int fd_;
  std::string buf_;
};

// ---- the servers the clients reach (child process) ----

// A listener served by a fixed pool of threads, each taking one connection at a time.
class Origin {
 public:
  Origin(int threads, std::function<void(Conn&)> serve) : serve_(std::move(serve)) {
    listen_fd_ = tw::test::ListenLoopback(1024, &port_);
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Loop(); });
  }
  uint16_t port() const { return port_; }

 private:
  void Loop() {
    for (;;) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd == -1) continue;
      timeval tv{10, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      Conn c(fd);
      serve_(c);
    }
  }
  std::function<void(Conn&)> serve_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::vector<std::thread> threads_;
};

void ServeEcho(Conn& c) {
  char buf[8192];
  ssize_t n;
  while ((n = recv(c.fd(), buf, sizeof buf, 0)) > 0) {
    if (!c.Send(std::string(buf, static_cast<size_t>(n)))) return;
  }
}

void ServeHttp(Conn& c) {
  std::string line;
  while (c.Line(&line) && !line.empty()) {
  }
  c.Send("HTTP/1.1 200 OK\r\nContent-Length: 12\r\nConnection: close\r\n\r\nsoak origin\n");
}

// An FTP server whose passive replies point at the echo server.
void ServeFtp(Conn& c, uint16_t data_port) {
  c.Send("220 soak ftp\r\n");
  std::string line;
  while (c.Line(&line)) {
    std::string verb = line.substr(0, 4);
    if (verb == "USER") {
      c.Send("331 password\r\n");
    } else if (verb == "PASS") {
      c.Send("230 in\r\n");
    } else if (verb == "PASV") {
      c.Send("227 Entering Passive Mode (127,0,0,1," + std::to_string(data_port >> 8) + "," +
             std::to_string(data_port & 0xff) + ").\r\n");
    } else if (verb == "QUIT") {
      c.Send("221 bye\r\n");
      return;
    } else {
      c.Send("200 ok\r\n");
    }
  }
}

void ServePop3(Conn& c) {
  c.Send("+OK soak pop3\r\n");
  std::string line;
  while (c.Line(&line)) {
    std::string verb = line.substr(0, 4);
    if (verb == "RETR") {
      c.Send("+OK\r\nSubject: soak\r\n\r\nbody\r\n.\r\n");
    } else if (verb == "QUIT") {
      c.Send("+OK bye\r\n");
      return;
    } else {
      c.Send("+OK\r\n");
    }
  }
}

void ServeSmtp(Conn& c) {
  c.Send("220 soak smtp\r\n");
  std::string line;
  int auth_step = 0;  // 1: the user name comes next, 2: the password
  while (c.Line(&line)) {
    if (auth_step == 1) {
      c.Send("334 UGFzc3dvcmQ6\r\n");
      auth_step = 2;
    } else if (auth_step == 2) {
      c.Send("235 ok\r\n");
      auth_step = 0;
    } else if (line.rfind("EHLO", 0) == 0) {
      c.Send("250-soak\r\n250 AUTH LOGIN\r\n");
    } else if (line.rfind("AUTH LOGIN", 0) == 0) {
      c.Send("334 VXNlcm5hbWU6\r\n");
      auth_step = 1;
    } else if (line == "DATA") {
      c.Send("354 go\r\n");
      while (c.Line(&line) && line != ".") {
      }
      c.Send("250 queued\r\n");
    } else if (line == "QUIT") {
      c.Send("221 bye\r\n");
      return;
    } else {
      c.Send("250 ok\r\n");
    }
  }
}

// ---- the clients (child process) ----

struct Ports {
  uint16_t http, ftp, pop3, smtp, socks;  // the proxies
  uint16_t web, echo, ftp_server, pop3_server, smtp_server;
};

// One client session. `abort_at` > 0: drop the connection with a reset before that step.
// True when the session went as a real one would (or was dropped on purpose).
class Session {
 public:
  Session(const Ports& p, int abort_at) : p_(p), abort_at_(abort_at) {}

  bool Run(Kind kind) {
    switch (kind) {
      case kHttpGet: return HttpGet();
      case kConnect: return HttpConnect();
      case kSocks4: return Socks4();
      case kSocks5: return Socks5();
      case kFtp: return Ftp();
      case kPop3: return Pop3();
      case kSmtp: return Smtp();
      default: return false;
    }
  }
  bool aborted() const { return aborted_; }

 private:
  // Counts a step; true when the session is to be dropped here.
  bool Drop(Conn& c) {
    if (++step_ != abort_at_) return false;
    c.Abort();
    aborted_ = true;
    return true;
  }
  bool Expect(Conn& c, const std::string& prefix) {
    std::string line;
    return c.Line(&line) && line.rfind(prefix, 0) == 0;
  }
  // Through a tunnel already open: one write echoed back.
  bool Echo(Conn& c) {
    if (Drop(c)) return true;
    std::string got;
    return c.Send("soak tunnel bytes\n") && c.Exactly(18, &got) && got == "soak tunnel bytes\n";
  }

  bool HttpGet() {
    Conn c(tw::test::ConnectLoopback(p_.http));
    if (!c.ok() || Drop(c)) return c.ok() || aborted_;
    if (!c.Send("GET http://127.0.0.1:" + std::to_string(p_.web) +
                "/soak HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) {
      return false;
    }
    if (Drop(c)) return true;
    std::string reply;
    c.Rest(&reply);
    return reply.rfind("HTTP/1.1 200", 0) == 0 && reply.find("soak origin") != std::string::npos;
  }

  bool HttpConnect() {
    Conn c(tw::test::ConnectLoopback(p_.http));
    if (!c.ok() || Drop(c)) return c.ok();
    if (!c.Send("CONNECT 127.0.0.1:" + std::to_string(p_.echo) + " HTTP/1.1\r\n\r\n") ||
        !Expect(c, "HTTP/1.0 200")) {
      return false;
    }
    std::string line;
    while (c.Line(&line) && !line.empty()) {
    }
    return Echo(c) && Echo(c);
  }

  bool Socks4() {
    Conn c(tw::test::ConnectLoopback(p_.socks));
    if (!c.ok() || Drop(c)) return c.ok();
    std::string request("\x04\x01", 2);
    request += static_cast<char>(p_.echo >> 8);
    request += static_cast<char>(p_.echo & 0xff);
    request += std::string("\x7f\x00\x00\x01soak\x00", 9);
    std::string reply;
    if (!c.Send(request) || !c.Exactly(8, &reply) || reply[1] != 90) return false;
    return Echo(c) && Echo(c);
  }

  bool Socks5() {
    Conn c(tw::test::ConnectLoopback(p_.socks));
    if (!c.ok() || Drop(c)) return c.ok();
    std::string reply;
    if (!c.Send(std::string("\x05\x01\x00", 3)) || !c.Exactly(2, &reply) || reply[1] != 0) {
      return false;
    }
    if (Drop(c)) return true;
    std::string request("\x05\x01\x00\x01\x7f\x00\x00\x01", 8);
    request += static_cast<char>(p_.echo >> 8);
    request += static_cast<char>(p_.echo & 0xff);
    if (!c.Send(request) || !c.Exactly(10, &reply) || reply[1] != 0) return false;
    return Echo(c) && Echo(c);
  }

  bool Ftp() {
    Conn c(tw::test::ConnectLoopback(p_.ftp));
    if (!c.ok() || Drop(c)) return c.ok();
    if (!Expect(c, "220") ||
        !c.Send("USER soak@127.0.0.1:" + std::to_string(p_.ftp_server) + "\r\n") ||
        !Expect(c, "331") || Drop(c) || !c.Send("PASS soak\r\n") || !Expect(c, "230")) {
      return aborted_;
    }
    if (Drop(c)) return true;
    std::string line;
    uint32_t address = 0;
    uint16_t port = 0;
    if (!c.Send("PASV\r\n") || !c.Line(&line) || !tw::ParsePassiveReply(line, &address, &port)) {
      return false;
    }
    Conn data(tw::test::ConnectLoopback(port));
    if (!data.ok() || !Echo(data)) return aborted_;
    data.Close();
    if (Drop(c)) return true;
    return c.Send("QUIT\r\n") && Expect(c, "221");
  }

  bool Pop3() {
    Conn c(tw::test::ConnectLoopback(p_.pop3));
    if (!c.ok() || Drop(c)) return c.ok();
    if (!Expect(c, "+OK") ||
        !c.Send("USER box#127.0.0.1:" + std::to_string(p_.pop3_server) + "\r\n") ||
        !Expect(c, "+OK") || Drop(c) || !c.Send("PASS soak\r\n") || !Expect(c, "+OK")) {
      return aborted_;
    }
    if (Drop(c)) return true;
    std::string line;
    if (!c.Send("RETR 1\r\n") || !Expect(c, "+OK")) return false;
    while (c.Line(&line) && line != ".") {
    }
    return c.Send("QUIT\r\n") && Expect(c, "+OK");
  }

  bool Smtp() {
    Conn c(tw::test::ConnectLoopback(p_.smtp));
    if (!c.ok() || Drop(c)) return c.ok();
    std::string user = tw::Base64Encode("box#127.0.0.1:" + std::to_string(p_.smtp_server));
    if (!Expect(c, "220") || !c.Send("EHLO soak\r\n") || !Expect(c, "250") ||
        !c.Send("AUTH LOGIN\r\n") || !Expect(c, "334") || Drop(c) || !c.Send(user + "\r\n") ||
        !Expect(c, "334") || !c.Send("c29haw==\r\n") || !Expect(c, "235")) {
      return aborted_;
    }
    if (Drop(c)) return true;
    return c.Send("MAIL FROM:<a@soak>\r\n") && Expect(c, "250") &&
           c.Send("RCPT TO:<b@soak>\r\n") && Expect(c, "250") && c.Send("DATA\r\n") &&
           Expect(c, "354") && c.Send("Subject: soak\r\n\r\nbody\r\n.\r\n") &&
           Expect(c, "250") && c.Send("QUIT\r\n") && Expect(c, "221");
  }

  const Ports& p_;
  const int abort_at_;
  int step_ = 0;
  bool aborted_ = false;
};

void ClientLoop(const Ports& ports, Shared* shared, unsigned seed) {
  std::mt19937 random(seed);
  while (!shared->stop.load()) {
    Kind kind = static_cast<Kind>(random() % kKinds);
    // One session in eight is dropped at one of its first steps.
    int abort_at = random() % 8 == 0 ? 1 + static_cast<int>(random() % 4) : 0;
    Session session(ports, abort_at);
    bool ok = session.Run(kind);
    if (session.aborted()) {
      ++shared->aborted;
    } else if (ok) {
      ++shared->done[kind];
    } else {
      if (shared->errors.fetch_add(1) == 0) shared->sample_errors = kind + 1;
    }
  }
}

[[noreturn]] void TrafficMain(Ports ports, int clients, Shared* shared) {
  Origin echo(clients * 2 + 2, ServeEcho);
  Origin web(clients + 2, ServeHttp);
  uint16_t echo_port = echo.port();
  Origin ftp(clients + 2, [echo_port](Conn& c) { ServeFtp(c, echo_port); });
  Origin pop3(clients + 2, ServePop3);
  Origin smtp(clients + 2, ServeSmtp);
  ports.web = web.port();
  ports.echo = echo.port();
  ports.ftp_server = ftp.port();
  ports.pop3_server = pop3.port();
  ports.smtp_server = smtp.port();
  // One session of each kind first, so machinery a proxy makes on first need (the FTP data
  // listeners' service) is part of the start figures rather than counted as growth.
  for (int k = 0; k < kKinds; ++k) {
    Session session(ports, 0);
    if (!session.Run(static_cast<Kind>(k))) ++shared->errors;
  }
  shared->warmed = true;
  while (!shared->go.load() && !shared->stop.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back(ClientLoop, std::cref(ports), shared, 1234u + static_cast<unsigned>(i));
  }
  for (std::thread& t : threads) t.join();
  _exit(0);  // the servers' threads stay blocked in accept; the process simply ends
}

// ---- the measuring side (this process) ----

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(4096, '\n');
  }
  return 0;
}

// What each open descriptor is (socket:[inode], a path, anon_inode:...), for a report of the
// ones that did not come back.
std::vector<std::string> DescriptorNames() {
  std::vector<std::string> names;
  for (int fd = 0; fd < 65536 && names.size() < 4096; ++fd) {
    char link[64], target[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 0) names.push_back(std::to_string(fd) + " " + std::string(target, n));
  }
  return names;
}

struct Sample {
  double minute;
  long rss_kb;
  int fds;
  int64_t contexts;
};

void Print(const char* label, const Sample& s, const Shared* shared) {
  printf("%-8s %6.1f min  RSS %7.1f MB  descriptors %4d  contexts %5lld", label, s.minute,
         s.rss_kb / 1024.0, s.fds, static_cast<long long>(s.contexts));
  if (shared != nullptr) {
    printf("  |");
    for (int k = 0; k < kKinds; ++k) {
      printf(" %s %llu", kKindNames[k], static_cast<unsigned long long>(shared->done[k].load()));
    }
    printf("  aborted %llu  errors %llu", static_cast<unsigned long long>(shared->aborted.load()),
           static_cast<unsigned long long>(shared->errors.load()));
  }
  printf("\n");
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 30;
  int clients = 6;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--minutes") == 0) minutes = atof(argv[i + 1]);
    if (strcmp(argv[i], "--clients") == 0) clients = atoi(argv[i + 1]);
  }
  signal(SIGPIPE, SIG_IGN);

  std::string dir = tw::test::ScratchDirRemovedAtExit("tw-soak");
  std::string error;
  if (dir.empty() || !tw::InstallMissingDataFiles(dir, &error)) {
    fprintf(stderr, "no data directory: %s\n", error.c_str());
    return 2;
  }
  Ports ports{};
  ports.http = tw::test::FreeLoopbackPort();
  ports.ftp = tw::test::FreeLoopbackPort();
  ports.pop3 = tw::test::FreeLoopbackPort();
  ports.smtp = tw::test::FreeLoopbackPort();
  ports.socks = tw::test::FreeLoopbackPort();
  {
    std::ofstream ini(dir + "/option.ini");
    ini << "[Server]\n"
        << "; the servers of the run are on loopback\n"
        << "allow_local_destinations=1\n"
        << "; every client of the run comes from 127.0.0.1: no per-client connection cap\n"
        << "max_connections_per_client=0\n"
        << "[HTTP]\nport=" << ports.http << "\n[FTP]\nport=" << ports.ftp
        << "\n[POP3]\nport=" << ports.pop3 << "\n[SMTP]\nport=" << ports.smtp
        << "\n[SOCKS]\nport=" << ports.socks << "\n";
  }

  // The child is made before any thread of this process exists.
  void* mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
  if (mem == MAP_FAILED) return 2;
  Shared* shared = new (mem) Shared;
  pid_t child = fork();
  if (child == -1) return 2;
  if (child == 0) {
    while (!shared->ready.load() && !shared->stop.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    TrafficMain(ports, clients, shared);
  }

  tw::ServerManager manager(tw::ManagerHost::kService, dir,
                            [](const std::string& line) { fprintf(stderr, "%s\n", line.c_str()); });
  manager.StartServers();
  for (int32_t id = tw::kFirstProtocol; id <= tw::kLastProtocol; ++id) {
    if (!manager.Running(id)) {
      fprintf(stderr, "proxy %d did not start\n", id);
      shared->stop = true;
      waitpid(child, nullptr, 0);
      return 2;
    }
  }
  auto start = Clock::now();
  auto sample = [&] {
    return Sample{std::chrono::duration<double>(Clock::now() - start).count() / 60,
                  ResidentKb(), tw::test::CountOpenDescriptors(), tw::LiveContextCount()};
  };
  printf("soak: %.1f minutes, %d clients, proxies on ports http %u ftp %u pop3 %u smtp %u "
         "socks %u\n",
         minutes, clients, ports.http, ports.ftp, ports.pop3, ports.smtp, ports.socks);
  shared->ready = true;  // the child starts its servers and warms up
  while (!shared->warmed.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (int i = 0; i < 1000 && tw::LiveContextCount() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  start = Clock::now();
  Sample first = sample();
  std::vector<std::string> first_names = DescriptorNames();
  Print("start", first, nullptr);
  shared->go = true;

  std::vector<Sample> minutes_seen;
  auto end = start + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(minutes * 60));
  for (int m = 1; Clock::now() < end; ++m) {
    auto next = std::min(end, start + std::chrono::minutes(m));
    std::this_thread::sleep_until(next);
    minutes_seen.push_back(sample());
    Print("minute", minutes_seen.back(), shared);
  }
  shared->stop = true;
  waitpid(child, nullptr, 0);

  // The clients are gone: every context and descriptor they caused should be released.
  Sample after = sample();
  for (int i = 0; i < 300 && (after.contexts != first.contexts || after.fds != first.fds); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    after = sample();
  }
  Print("after", after, shared);
  malloc_trim(0);
  Sample trimmed = sample();
  printf("after trim: RSS %.1f MB (the allocator kept %.1f MB of freed memory until the trim)\n",
         trimmed.rss_kb / 1024.0, (after.rss_kb - trimmed.rss_kb) / 1024.0);

  // Memory levels off when no sample of the last two thirds passes the highest of the first
  // third by more than 5 % (and 2 MB).
  bool plateau = true;
  if (minutes_seen.size() >= 3) {
    size_t third = minutes_seen.size() / 3;
    long early = 0, late = 0;
    for (size_t i = 0; i < minutes_seen.size(); ++i) {
      (i < third ? early : late) = std::max(i < third ? early : late, minutes_seen[i].rss_kb);
    }
    long allowed = std::max(early / 20, 2048L);
    plateau = late <= early + allowed;
    printf("RSS: highest %.1f MB in the first third, %.1f MB after: %s\n", early / 1024.0,
           late / 1024.0, plateau ? "levelled off" : "still growing");
  }
  bool fds_back = after.fds == first.fds;
  if (!fds_back) {
    for (const std::string& name : DescriptorNames()) {
      if (std::find(first_names.begin(), first_names.end(), name) == first_names.end()) {
        printf("  open since the start: %s\n", name.c_str());
      }
    }
  }
  bool contexts_back = after.contexts == first.contexts;
  printf("descriptors %d -> %d (%s), contexts %lld -> %lld (%s), errors %llu%s%s\n", first.fds,
         after.fds, fds_back ? "back" : "NOT back", static_cast<long long>(first.contexts),
         static_cast<long long>(after.contexts), contexts_back ? "back" : "NOT back",
         static_cast<unsigned long long>(shared->errors.load()),
         shared->sample_errors ? ", first failing kind: " : "",
         shared->sample_errors ? kKindNames[shared->sample_errors - 1] : "");
  manager.StopServers();
  return fds_back && contexts_back && plateau ? 0 : 1;
}
