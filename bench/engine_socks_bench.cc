// SOCKS 5 benchmark: kestrane's SOCKS proxy against a direct connection and, when they are
// installed, the peer proxies microsocks and dante (danted), all started by this program on
// loopback in the same run. For each: bulk MB/s through a CONNECT tunnel (8192-byte writes),
// the proxy process's CPU seconds per GiB, new tunnels per second (4 clients, each tunnel:
// connect, method selection, CONNECT, reply, close), and the proxy's resident memory per idle
// tunnel. Usage: engine_socks_bench [GiB=1] [tunnels=2000] [idle=500]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/test_sockets.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kChunk = 8192;

// Opens a SOCKS 5 tunnel to 127.0.0.1:dest through the proxy (or a direct connection when
// proxy is 0); -1 on failure.
int Tunnel(uint16_t proxy, uint16_t dest, int timeout_ms = 30000) {
  int fd = tw::test::ConnectLoopback(proxy ? proxy : dest, timeout_ms);
  if (fd == -1 || proxy == 0) return fd;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string hello("\x05\x01\x00", 3);
  std::string request("\x05\x01\x00\x01\x7f\x00\x00\x01", 8);
  request.push_back(static_cast<char>(dest >> 8));
  request.push_back(static_cast<char>(dest & 0xff));
  if (!tw::test::SendAll(fd, hello) || tw::test::ReadExactly(fd, 2) != std::string("\x05\x00", 2) ||
      !tw::test::SendAll(fd, request)) {
    close(fd);
    return -1;
  }
  std::string reply = tw::test::ReadExactly(fd, 10);
  if (reply.size() != 10 || reply[1] != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// utime + stime of a process and its direct children, in seconds.
double ProcessCpu(pid_t root) {
  double total = 0;
  long ticks = sysconf(_SC_CLK_TCK);
  std::string out = tw::test::RunCommand("cat /proc/[0-9]*/stat 2>/dev/null");
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    size_t close_paren = line.rfind(')');
    if (close_paren == std::string::npos) continue;
    pid_t pid = static_cast<pid_t>(atoi(line.c_str()));
    std::istringstream rest(line.substr(close_paren + 2));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    if (pid != root && ppid != root) continue;
    std::string skip;
    for (int i = 0; i < 9; ++i) rest >> skip;  // fields 6-14: pgrp .. majflt... up to utime
    unsigned long utime = 0, stime = 0;
    rest >> utime >> stime;
    total += static_cast<double>(utime + stime) / static_cast<double>(ticks);
  }
  return total;
}

// Resident memory of a process and its direct children, in bytes.
double ProcessRss(pid_t root) {
  double total = 0;
  std::string out = tw::test::RunCommand(
      "for d in /proc/[0-9]*; do p=$(awk '/^PPid/{print $2}' $d/status 2>/dev/null); "
      "r=$(awk '/^VmRSS/{print $2}' $d/status 2>/dev/null); echo \"${d#/proc/} $p $r\"; done");
  std::istringstream lines(out);
  long pid, ppid;
  double kb;
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    if (!(f >> pid >> ppid >> kb)) continue;
    if (pid == root || ppid == root) total += kb * 1024;
  }
  return total;
}

struct Peer {
  std::string name;
  std::unique_ptr<tw::test::ChildProcess> process;
  pid_t pid = 0;
  uint16_t port = 0;
  std::string dir;
};

bool WaitAccepting(uint16_t port) {
  for (int i = 0; i < 200; ++i) {
    int fd = tw::test::ConnectLoopback(port, 1000);
    if (fd != -1) {
      close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

pid_t PidListeningOn(uint16_t port) {
  std::string out =
      tw::test::RunCommand("ss -Htlnp 'sport = :" + std::to_string(port) + "' 2>/dev/null");
  size_t p = out.find("pid=");
  return p == std::string::npos ? 0 : static_cast<pid_t>(atoi(out.c_str() + p + 4));
}

std::unique_ptr<Peer> StartKestrane(const std::string& bin_dir) {
  auto peer = std::make_unique<Peer>();
  peer->name = "kestrane SOCKS 5";
  char dir[] = "/tmp/tw-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return nullptr;
  peer->dir = dir;
  peer->port = tw::test::FreeLoopbackPort();
  std::ofstream ini(peer->dir + "/option.ini");
  // Every load client comes from 127.0.0.1: no cap per client address.
  ini << "[Server]\nmax_connections_per_client=0\n[SOCKS]\nport=" << peer->port << "\n[HTTP]\nport=" << tw::test::FreeLoopbackPort()
      << "\n[FTP]\nport=" << tw::test::FreeLoopbackPort()
      << "\n[POP3]\nport=" << tw::test::FreeLoopbackPort()
      << "\n[SMTP]\nport=" << tw::test::FreeLoopbackPort() << "\n";
  ini.close();
  peer->process = std::make_unique<tw::test::ChildProcess>(
      std::vector<std::string>{bin_dir + "/kestrane", "--foreground", "--data", peer->dir},
      std::vector<std::string>{"NOTIFY_SOCKET", "INVOCATION_ID"});
  if (!peer->process->WaitForLine("SOCKS proxy listening")) return nullptr;
  peer->pid = PidListeningOn(peer->port);
  return peer;
}

std::unique_ptr<Peer> StartMicrosocks() {
  if (access("/usr/bin/microsocks", X_OK) != 0) return nullptr;
  auto peer = std::make_unique<Peer>();
  peer->name = "microsocks";
  peer->port = tw::test::FreeLoopbackPort();
  peer->process = std::make_unique<tw::test::ChildProcess>(std::vector<std::string>{
      "/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(peer->port)});
  if (!WaitAccepting(peer->port)) return nullptr;
  peer->pid = PidListeningOn(peer->port);
  return peer;
}

std::unique_ptr<Peer> StartDante() {
  if (access("/usr/sbin/danted", X_OK) != 0) return nullptr;
  auto peer = std::make_unique<Peer>();
  peer->name = "dante";
  peer->port = tw::test::FreeLoopbackPort();
  char dir[] = "/tmp/tw-dante-XXXXXX";
  if (mkdtemp(dir) == nullptr) return nullptr;
  peer->dir = dir;
  std::ofstream conf(peer->dir + "/danted.conf");
  conf << "logoutput: /dev/null\ninternal: 127.0.0.1 port = " << peer->port
       << "\nexternal: 127.0.0.1\nsocksmethod: none\nclientmethod: none\n"
          "user.privileged: root\nuser.unprivileged: nobody\n"
          "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
          "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
  conf.close();
  peer->process = std::make_unique<tw::test::ChildProcess>(std::vector<std::string>{
      "/usr/sbin/danted", "-f", peer->dir + "/danted.conf", "-p", peer->dir + "/danted.pid"});
  if (!WaitAccepting(peer->port)) return nullptr;
  peer->pid = PidListeningOn(peer->port);
  return peer;
}

// Seconds to move `bytes` through a tunnel (or directly), first write to last byte received.
double Bulk(uint16_t proxy, uint64_t bytes) {
  uint16_t sink_port;
  int lfd = tw::test::ListenLoopback(4096, &sink_port);
  std::thread sink([&] {
    int fd = accept(lfd, nullptr, nullptr);
    std::vector<char> buf(65536);
    uint64_t got = 0;
    while (got < bytes) {
      ssize_t n = recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      got += static_cast<uint64_t>(n);
    }
    close(fd);
  });
  int fd = Tunnel(proxy, sink_port);
  if (fd == -1) {
    shutdown(lfd, SHUT_RDWR);
    int wake = tw::test::ConnectLoopback(sink_port, 1000);
    sink.join();
    close(wake);
    close(lfd);
    return 0;
  }
  std::vector<char> chunk(kChunk, 'b');
  auto start = Clock::now();
  for (uint64_t sent = 0; sent < bytes; sent += kChunk) {
    if (!tw::test::SendAll(fd, std::string(chunk.data(), kChunk))) break;
  }
  sink.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  close(lfd);
  return seconds;
}

// Tunnels per second over `count` tunnels from 4 client threads.
double TunnelRate(uint16_t proxy, int count) {
  uint16_t sink_port;
  int lfd = tw::test::ListenLoopback(4096, &sink_port);
  std::atomic<bool> stop{false};
  std::thread sink([&] {
    while (!stop) {
      int fd = accept(lfd, nullptr, nullptr);
      if (fd != -1) close(fd);
    }
  });
  std::atomic<int> next{0}, ok{0};
  auto start = Clock::now();
  auto deadline = start + std::chrono::seconds(20);
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&] {
      while (next.fetch_add(1) < count && Clock::now() < deadline) {
        int fd = Tunnel(proxy, sink_port, 5000);
        if (fd != -1) {
          ++ok;
          close(fd);
        }
      }
    });
  }
  for (std::thread& t : clients) t.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  shutdown(lfd, SHUT_RDWR);
  int wake = tw::test::ConnectLoopback(sink_port, 1000);
  sink.join();
  if (wake != -1) close(wake);
  close(lfd);
  return ok.load() / seconds;
}

// Resident bytes the proxy adds per idle tunnel, over the tunnels of n attempts that opened.
double IdleMemory(const Peer& peer, int n) {
  uint16_t sink_port;
  int lfd = tw::test::ListenLoopback(4096, &sink_port);
  std::vector<int> held;
  std::atomic<bool> stop{false};
  std::atomic<int> accepted{0};
  std::thread sink([&] {
    while (!stop) {
      pollfd p{lfd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int fd = accept(lfd, nullptr, nullptr);
      if (fd == -1) continue;
      held.push_back(fd);
      ++accepted;
    }
  });
  double before = ProcessRss(peer.pid);
  std::vector<int> clients;
  int opened = 0;
  auto deadline = Clock::now() + std::chrono::seconds(20);
  for (int i = 0; i < n && Clock::now() < deadline; ++i) {
    int fd = Tunnel(peer.port, sink_port, 5000);
    if (fd != -1) {
      clients.push_back(fd);
      ++opened;
    }
  }
  for (int i = 0; i < 100 && accepted.load() < opened; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the proxy settle
  double after = ProcessRss(peer.pid);
  stop = true;
  sink.join();
  for (int fd : clients) close(fd);
  for (int fd : held) close(fd);
  close(lfd);
  return opened > 0 ? (after - before) / opened : 0;
}

}  // namespace

int main(int argc, char** argv) {
  double gib = argc > 1 ? atof(argv[1]) : 1.0;
  int tunnels = argc > 2 ? atoi(argv[2]) : 2000;
  int idle = argc > 3 ? atoi(argv[3]) : 500;
  uint64_t bytes = static_cast<uint64_t>(gib * 1024 * 1024 * 1024) / kChunk * kChunk;
  std::string bin_dir = argv[0];
  bin_dir = bin_dir.substr(0, bin_dir.rfind('/'));

  std::vector<std::unique_ptr<Peer>> peers;
  if (auto p = StartKestrane(bin_dir))
    peers.push_back(std::move(p));
  else
    fprintf(stderr, "kestrane did not start\n");
  if (auto p = StartMicrosocks()) peers.push_back(std::move(p));
  if (auto p = StartDante()) peers.push_back(std::move(p));

  double direct = 1e30;
  for (int i = 0; i < 2; ++i) direct = std::min(direct, Bulk(0, bytes));
  double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
  printf("SOCKS 5 benchmark: %.2f GiB bulk in %zu-byte writes (best of 2), %d tunnels, %d idle\n",
         gib, kChunk, tunnels, idle);
  printf("%-18s %10s %7s %12s %12s %14s\n", "path", "MB/s", "ratio", "CPU s/GiB", "tunnels/s",
         "RSS/idle tun.");
  printf("%-18s %10.1f %7.2f %12s %12s %14s\n", "direct", mb / direct, 1.0, "-", "-", "-");
  for (auto& peer : peers) {
    double best = 1e30, cpu = 0;
    for (int i = 0; i < 2; ++i) {
      double c0 = ProcessCpu(peer->pid);
      double s = Bulk(peer->port, bytes);
      cpu += ProcessCpu(peer->pid) - c0;
      if (s > 0) best = std::min(best, s);
    }
    double rate = TunnelRate(peer->port, tunnels);
    double per_tunnel = IdleMemory(*peer, idle);
    printf("%-18s %10.1f %7.2f %12.3f %12.0f %12.1f KiB\n", peer->name.c_str(), mb / best,
           direct / best, cpu / 2 / gib, rate, per_tunnel / 1024);
    fflush(stdout);
  }
  for (auto& peer : peers) {
    peer->process->Signal(15);
    peer->process->WaitExit(5000);
    if (!peer->dir.empty()) tw::test::RunCommand("rm -rf '" + peer->dir + "'");
  }
  return 0;
}
