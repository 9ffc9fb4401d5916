// Relay benchmark: bulk transfer through the engine's relay (the test protocol) on loopback
// against a direct connection in the same run, by the kernel path (an unthrottled pair) and by
// the copy path (a pair under a limit that never pauses), the proxy's CPU seconds per GiB
// relayed, and what an idle relayed connection holds (heap, pooled buffers and pipes).
//
// The traffic (sender and sink) runs in a child process, so the CPU time measured here is the
// proxy's alone. Usage: engine_relay_bench [GiB=1] [idle connections=500]
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/protocols.h"
#include "engine/core/io_context.h"
#include "engine/core/proxy_server.h"
#include "engine/core/relay_pools.h"
#include "tests/support/relay_test_handler.h"
#include "tests/support/test_sockets.h"

namespace {

constexpr size_t kChunk = 8192;

// Child: sends `bytes` in 8192-byte writes to a sink of its own, through the proxy when
// proxy_port is not 0; prints the seconds from the first write to the last byte received.
int TrafficMain(uint16_t proxy_port, uint64_t bytes) {
  uint16_t sink_port;
  int lfd = tw::test::ListenLoopback(1024, &sink_port);
  double seconds = 0;
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
  int fd = tw::test::ConnectLoopback(proxy_port ? proxy_port : sink_port, 60000);
  if (fd == -1) return 3;
  if (proxy_port) tw::test::SendAll(fd, "127.0.0.1:" + std::to_string(sink_port) + "\n");
  std::vector<char> chunk(kChunk, 'b');
  auto start = std::chrono::steady_clock::now();
  for (uint64_t sent = 0; sent < bytes; sent += kChunk) {
    size_t done = 0;
    while (done < kChunk) {
      ssize_t n = send(fd, chunk.data() + done, kChunk - done, MSG_NOSIGNAL);
      if (n <= 0) return 4;
      done += static_cast<size_t>(n);
    }
  }
  sink.join();
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(fd);
  printf("%.6f\n", seconds);
  return 0;
}

// Child: opens n relayed connections to a sink that only holds them, says "ready", and keeps
// them until its standard input closes.
int IdleMain(uint16_t proxy_port, int n) {
  uint16_t sink_port;
  int lfd = tw::test::ListenLoopback(1024, &sink_port);
  std::vector<int> held;
  std::thread sink([&] {
    for (int i = 0; i < n; ++i) held.push_back(accept(lfd, nullptr, nullptr));
  });
  std::vector<int> clients;
  for (int i = 0; i < n; ++i) {
    int fd = tw::test::ConnectLoopback(proxy_port);
    tw::test::SendAll(fd, "127.0.0.1:" + std::to_string(sink_port) + "\n");
    clients.push_back(fd);
  }
  sink.join();
  printf("ready\n");
  fflush(stdout);
  char c;
  while (read(0, &c, 1) > 0) {
  }
  return 0;
}

struct Child {
  pid_t pid;
  FILE* out;
  int in_fd;
};

Child Spawn(const std::vector<std::string>& args) {
  int out_pipe[2], in_pipe[2];
  if (pipe(out_pipe) == -1 || pipe(in_pipe) == -1) exit(2);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(in_pipe[0], 0);
    close(out_pipe[0]);
    close(in_pipe[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(in_pipe[0]);
  return Child{pid, fdopen(out_pipe[0], "r"), in_pipe[1]};
}

int Reap(Child& c) {
  close(c.in_fd);
  fclose(c.out);
  int status = 0;
  waitpid(c.pid, &status, 0);
  return status;
}

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Runs one transfer; returns seconds (0 on failure).
double Transfer(uint16_t proxy_port, uint64_t bytes) {
  Child c =
      Spawn({"engine_relay_bench", "--traffic", std::to_string(proxy_port), std::to_string(bytes)});
  double seconds = 0;
  if (fscanf(c.out, "%lf", &seconds) != 1) seconds = 0;
  Reap(c);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--traffic") == 0) {
    return TrafficMain(static_cast<uint16_t>(atoi(argv[2])), strtoull(argv[3], nullptr, 10));
  }
  if (argc == 4 && std::strcmp(argv[1], "--idle") == 0) {
    return IdleMain(static_cast<uint16_t>(atoi(argv[2])), atoi(argv[3]));
  }
  double gib = argc > 1 ? atof(argv[1]) : 1.0;
  int idle = argc > 2 ? atoi(argv[2]) : 500;
  uint64_t bytes = static_cast<uint64_t>(gib * 1024 * 1024 * 1024) / kChunk * kChunk;

  struct Path {
    const char* name;
    int32_t limit;  // bytes per second; 0 = none
    double best = 1e30, cpu = 0, spliced = 0;
  } paths[] = {{"relay, kernel path", 0}, {"relay, copy path", 1 << 30}};
  const int runs = 3;
  double direct_best = 1e30;
  for (Path& path : paths) {
    tw::ProxyServer relay(tw::kProtocolSocks,
                          tw::ProxyProtocol{&tw::test::RelayTestHandler, nullptr, 4});
    tw::ListenerSettings limited;
    limited.allowLocalDestinations = true;
    limited.maxConnectionsPerClient = 0;
    limited.downloadRate = limited.uploadRate = path.limit;
    if (!relay.Start(limited)) {
      fprintf(stderr, "cannot start the proxy\n");
      return 1;
    }
    for (int i = 0; i < runs; ++i) {
      double d = Transfer(0, bytes);
      double cpu0 = CpuSeconds();
      int64_t spliced0 = tw::SplicedBytes();
      double p = Transfer(static_cast<uint16_t>(relay.port()), bytes);
      path.cpu += CpuSeconds() - cpu0;
      path.spliced += static_cast<double>(tw::SplicedBytes() - spliced0);
      if (d <= 0 || p <= 0) {
        fprintf(stderr, "transfer failed\n");
        return 1;
      }
      direct_best = std::min(direct_best, d);
      path.best = std::min(path.best, p);
    }
    relay.Stop();
  }
  double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
  double direct_mbs = mb / direct_best;

  tw::ProxyServer server(tw::kProtocolSocks,
                         tw::ProxyProtocol{&tw::test::RelayTestHandler, nullptr, 4});
  tw::ListenerSettings settings;
  settings.allowLocalDestinations = true;  // the sink runs on loopback
  settings.maxConnectionsPerClient = 0;  // every client comes from 127.0.0.1
  if (!server.Start(settings)) {
    fprintf(stderr, "cannot start the proxy\n");
    return 1;
  }

  // Heap per idle relayed connection (client context + destination context + bookkeeping).
  struct mallinfo2 before = mallinfo2();
  Child c =
      Spawn({"engine_relay_bench", "--idle", std::to_string(server.port()), std::to_string(idle)});
  char line[32] = {};
  bool ready = fgets(line, sizeof line, c.out) != nullptr;
  while (ready && server.LiveContexts() < static_cast<size_t>(2 * idle)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  struct mallinfo2 after = mallinfo2();
  int64_t idle_buffers = tw::IoBuffersInUse(), idle_pipes = tw::RelayPipesInUse();
  Reap(c);
  double per_pair = ready ? static_cast<double>(after.uordblks - before.uordblks) / idle : -1;

  printf("relay benchmark: %.2f GiB in %zu-byte writes, best of %d runs, loopback\n", gib, kChunk,
         runs);
  printf("%-28s %12s %8s %12s %10s\n", "path", "MB/s", "ratio", "CPU s/GiB", "spliced");
  printf("%-28s %12.1f %8.2f %12s %10s\n", "direct connection", direct_mbs, 1.0, "-", "-");
  for (const Path& path : paths) {
    double mbs = mb / path.best;
    double cpu_per_gib =
        path.cpu / runs / (static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
    printf("%-28s %12.1f %8.2f %12.3f %9.0f%%\n", path.name, mbs, mbs / direct_mbs, cpu_per_gib,
           100.0 * path.spliced / (static_cast<double>(bytes) * runs));
  }
  printf("context size: %zu bytes; buffer %u bytes, pipe up to %u bytes, lent only while bytes "
         "move\n",
         sizeof(tw::IoContext), tw::kIoBufferSize, tw::kRelayPipeBytes);
  printf("heap per idle relayed connection: %.0f bytes (%.1f KiB) over %d connections; "
         "buffers lent %lld, pipes lent %lld\n",
         per_pair, per_pair / 1024, idle, static_cast<long long>(idle_buffers),
         static_cast<long long>(idle_pipes));
  server.Stop();
  return 0;
}
