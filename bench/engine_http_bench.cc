// HTTP proxy benchmark on loopback, side by side in one run: a direct connection to a local
// web server, this HTTP proxy, and (when installed) squid and tinyproxy started by the
// benchmark on ephemeral ports. Figures: bulk download MB/s with a plain GET (absolute URI)
// and through a CONNECT tunnel, and small requests per second with wrk (absolute-URI requests
// over keep-alive client connections).
//
// Usage: engine_http_bench [MiB per download=256] [wrk seconds=4]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/installation.h"
#include "engine/core/proxy_server.h"
#include "engine/proxy_protocols.h"
#include "platform/mutex.h"
#include "tests/support/test_sockets.h"

namespace {

using tw::test::ConnectLoopback;
using tw::test::RunCommand;
using tw::test::SendAll;

constexpr int kDownloadRuns = 3;
constexpr const char* kSmallBody = "small answer\n";

// A keep-alive web server, one thread per connection: "/big" answers big_bytes bytes,
// anything else a short body.
class Origin {
 public:
  explicit Origin(uint64_t big_bytes) : big_(big_bytes) {
    fd_ = tw::test::ListenLoopback(1024, &port_);
    acceptor_ = std::thread([this] {
      for (;;) {
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c == -1) return;
        tw::MutexLock lock(mu_);
        open_.insert(c);
        std::thread([this, c] { Serve(c); }).detach();
      }
    });
  }
  ~Origin() {
    shutdown(fd_, SHUT_RDWR);
    acceptor_.join();
    close(fd_);
    tw::MutexLock lock(mu_);
    for (int c : open_) shutdown(c, SHUT_RDWR);
    while (!open_.empty()) done_.Wait(mu_);
  }
  uint16_t port() const { return port_; }

 private:
  void Serve(int c) {
    Answer(c);
    tw::MutexLock lock(mu_);
    open_.erase(c);
    close(c);
    done_.NotifyAll();
  }

  void Answer(int c) {
    std::string pending;
    std::vector<char> chunk(65536, 'x');
    char buf[8192];
    for (;;) {
      size_t end;
      while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) return;
        pending.append(buf, static_cast<size_t>(n));
      }
      bool big = pending.find("/big ") < end;
      pending.erase(0, end + 4);
      if (!big) {
        std::string r = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(strlen(kSmallBody)) +
                        "\r\n\r\n" + kSmallBody;
        if (!SendAll(c, r)) return;
        continue;
      }
      if (!SendAll(c, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big_) + "\r\n\r\n"))
        return;
      for (uint64_t sent = 0; sent < big_;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), big_ - sent));
        ssize_t w = send(c, chunk.data(), n, MSG_NOSIGNAL);
        if (w <= 0) return;
        sent += static_cast<uint64_t>(w);
      }
    }
  }

  uint64_t big_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  tw::Mutex mu_;
  tw::CondVar done_;
  std::set<int> open_ GUARDED_BY(mu_);
};

// Reads up to the end of a header block; false on close.
bool ReadHeader(int fd, std::string* header) {
  char c;
  header->clear();
  while (header->size() < 65536) {
    if (recv(fd, &c, 1, 0) != 1) return false;
    header->push_back(c);
    if (header->size() >= 4 && header->compare(header->size() - 4, 4, "\r\n\r\n") == 0) return true;
  }
  return false;
}

// One download of /big; MB/s, or 0 on failure. proxy_port 0: straight to the origin.
double Download(uint16_t proxy_port, uint16_t origin_port, uint64_t bytes, bool tunnel) {
  std::string host = "127.0.0.1:" + std::to_string(origin_port);
  int fd = ConnectLoopback(proxy_port != 0 ? proxy_port : origin_port, 60000);
  if (fd == -1) return 0;
  std::string header;
  if (tunnel && (!SendAll(fd, "CONNECT " + host + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n") ||
                 !ReadHeader(fd, &header) || header.find(" 200 ") == std::string::npos)) {
    close(fd);
    return 0;
  }
  std::string target = proxy_port != 0 && !tunnel ? "http://" + host + "/big" : "/big";
  auto start = std::chrono::steady_clock::now();
  if (!SendAll(fd, "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n") ||
      !ReadHeader(fd, &header)) {
    close(fd);
    return 0;
  }
  std::vector<char> buf(1 << 16);
  uint64_t got = 0;
  while (got < bytes) {
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    got += static_cast<uint64_t>(n);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(fd);
  return got == bytes ? bytes / 1e6 / seconds : 0;
}

double BestDownload(uint16_t proxy_port, uint16_t origin_port, uint64_t bytes, bool tunnel) {
  double best = 0;
  for (int i = 0; i < kDownloadRuns; ++i) {
    best = std::max(best, Download(proxy_port, origin_port, bytes, tunnel));
  }
  return best;
}

// wrk against the proxy (absolute-URI requests) or the origin; requests per second.
double SmallRequests(const std::string& dir, uint16_t proxy_port, uint16_t origin_port,
                     int seconds) {
  if (RunCommand("command -v wrk").empty()) return -1;
  std::string host = "127.0.0.1:" + std::to_string(origin_port);
  std::string script = dir + "/wrk.lua";
  std::ofstream(script) << "wrk.path = \"" << (proxy_port != 0 ? "http://" + host : "")
                        << "/small\"\nwrk.headers[\"Host\"] = \"" << host << "\"\n";
  uint16_t port = proxy_port != 0 ? proxy_port : origin_port;
  std::string out = RunCommand("wrk -t2 -c16 -d" + std::to_string(seconds) + "s -s " + script +
                               " http://127.0.0.1:" + std::to_string(port) + "/ 2>&1");
  size_t at = out.find("Requests/sec:");
  if (at == std::string::npos) return 0;
  return atof(out.c_str() + at + 13);
}

// A peer proxy run as a child process for the length of the benchmark.
class PeerProxy {
 public:
  PeerProxy(const std::string& name, const std::string& dir) : name_(name) {
    std::string program =
        RunCommand("command -v " + name + " || ls /usr/sbin/" + name + " 2>/dev/null");
    while (!program.empty() && program.back() == '\n') program.pop_back();
    if (program.empty()) return;
    port_ = tw::test::FreeLoopbackPort();
    std::string conf = dir + "/" + name + ".conf";
    std::ofstream out(conf);
    std::vector<std::string> args;
    if (name == "squid") {
      out << "http_port 127.0.0.1:" << port_ << "\nhttp_access allow all\ncache deny all\n"
          << "access_log none\ncache_store_log none\ncache_log " << dir << "/cache.log\n"
          << "pid_filename " << dir << "/squid.pid\ncoredump_dir " << dir << "\n"
          << "shutdown_lifetime 0 seconds\npinger_enable off\n";
      args = {program, "-N", "-f", conf};
    } else {
      out << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 600\nMaxClients 200\n"
          << "Allow 127.0.0.1\nUser nobody\nGroup nogroup\nLogLevel Critical\n";
      args = {program, "-d", "-c", conf};
    }
    out.close();
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    // Ready once it accepts a connection (bounded wait).
    for (int i = 0; i < 200; ++i) {
      int fd = ConnectLoopback(port_, 1000);
      if (fd != -1) {
        close(fd);
        ready_ = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~PeerProxy() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (waitpid(pid_, nullptr, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
  }
  bool ready() const { return ready_; }
  uint16_t port() const { return port_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  bool ready_ = false;
};

void Row(const char* name, double get, double tunnel, double rps) {
  auto cell = [](double v, const char* fmt) {
    char buf[32];
    if (v < 0) return std::string("-");
    snprintf(buf, sizeof buf, fmt, v);
    return std::string(buf);
  };
  printf("| %-22s | %12s | %12s | %12s |\n", name, cell(get, "%.0f").c_str(),
         cell(tunnel, "%.0f").c_str(), cell(rps, "%.0f").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 256;
  int seconds = argc > 2 ? atoi(argv[2]) : 4;
  if (mib == 0 || mib > 4096 || seconds <= 0 || seconds > 60) {
    fprintf(stderr, "usage: %s [MiB 1-4096] [wrk seconds 1-60]\n", argv[0]);
    return 2;
  }
  uint64_t bytes = mib << 20;
  char dir[] = "/tmp/tw-http-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 2;
  chmod(dir, 0777);  // peers drop privileges and still write their logs here
  std::string error;
  if (!tw::InstallMissingDataFiles(dir, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  Origin origin(bytes);
  tw::ProxyServer proxy(tw::kProtocolHttp, tw::ProtocolFor(tw::kProtocolHttp));
  tw::ListenerSettings settings;
  settings.dataDir = dir;
  settings.allowLocalDestinations = true;  // the origin and the peers run on loopback
  settings.maxConnectionsPerClient = 0;  // every client comes from 127.0.0.1
  if (!proxy.Start(settings)) return 3;

  printf("Loopback, %llu MiB per download (best of %d), wrk -t2 -c16 for %d s\n\n",
         static_cast<unsigned long long>(mib), kDownloadRuns, seconds);
  printf("| %-22s | %12s | %12s | %12s |\n", "path", "GET MB/s", "CONNECT MB/s", "small req/s");
  printf("|%s|%s|%s|%s|\n", std::string(24, '-').c_str(), std::string(14, '-').c_str(),
         std::string(14, '-').c_str(), std::string(14, '-').c_str());
  Row("direct", BestDownload(0, origin.port(), bytes, false), -1,
      SmallRequests(dir, 0, origin.port(), seconds));
  uint16_t ours = static_cast<uint16_t>(proxy.port());
  Row("this proxy", BestDownload(ours, origin.port(), bytes, false),
      BestDownload(ours, origin.port(), bytes, true),
      SmallRequests(dir, ours, origin.port(), seconds));
  for (const char* peer : {"squid", "tinyproxy"}) {
    PeerProxy p(peer, dir);
    if (!p.ready()) {
      printf("| %-22s | %12s | %12s | %12s |\n", peer, "n/a", "n/a", "n/a");
      continue;
    }
    Row(peer, BestDownload(p.port(), origin.port(), bytes, false),
        BestDownload(p.port(), origin.port(), bytes, true),
        SmallRequests(dir, p.port(), origin.port(), seconds));
  }
  proxy.Stop();
  RunCommand(std::string("rm -rf '") + dir + "'");
  return 0;
}
