// Exchange benchmark: small request/answer round trips over kept-alive relayed connections,
// and one round trip per new relayed connection, through the engine's relay (the test
// protocol) on loopback. Reports the proxy's CPU microseconds per round trip and per new
// connection, the figures behind the keep-alive and new-connection rates of the peer runs.
//
// The traffic (clients and an echo destination) runs in a child process, so the CPU time
// measured here is the proxy's alone. Usage:
//   engine_exchange_bench [round trips per connection=20000] [new connections=20000]
#include <sys/resource.h>
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
#include "engine/core/proxy_server.h"
#include "tests/support/relay_test_handler.h"
#include "tests/support/test_sockets.h"

namespace {

constexpr int kConnections = 16;    // kept-alive connections, each on a thread of the child
constexpr int kConnectThreads = 8;  // threads of the child opening new connections
constexpr size_t kMessage = 200;    // bytes of a request and of its answer

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// One request through an open relayed connection; false when the answer is not the echo.
bool RoundTrip(int fd, const std::string& message) {
  return tw::test::SendAll(fd, message) && tw::test::ReadExactly(fd, message.size()) == message;
}

// Child: with kind "keep", kConnections connections each make `count` round trips; with kind
// "new", kConnectThreads threads open `count` connections in all, one round trip each. Prints
// the seconds taken and the round trips that failed.
int TrafficMain(const std::string& kind, uint16_t proxy_port, int count) {
  tw::test::TestServer echo(tw::test::TestServer::kEcho);
  const std::string line = "127.0.0.1:" + std::to_string(echo.port()) + "\n";
  const std::string message(kMessage, 'x');
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  auto start = std::chrono::steady_clock::now();
  if (kind == "keep") {
    for (int t = 0; t < kConnections; ++t) {
      threads.emplace_back([&] {
        int fd = tw::test::ConnectLoopback(proxy_port);
        bool ok = fd != -1 && tw::test::SendAll(fd, line);
        for (int i = 0; i < count && ok; ++i) ok = RoundTrip(fd, message);
        if (!ok) failed.fetch_add(1);
        if (fd != -1) close(fd);
      });
    }
  } else {
    for (int t = 0; t < kConnectThreads; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < count / kConnectThreads; ++i) {
          int fd = tw::test::ConnectLoopback(proxy_port);
          if (fd == -1 || !tw::test::SendAll(fd, line) || !RoundTrip(fd, message)) {
            failed.fetch_add(1);
          }
          if (fd != -1) close(fd);
        }
      });
    }
  }
  for (std::thread& t : threads) t.join();
  printf("%.6f %d\n", Seconds(start), failed.load());
  return 0;
}

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Runs the child for one kind of traffic; fills its seconds and failures (false: no child).
bool Run(const std::string& kind, uint16_t port, int count, double* seconds, int* failed) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return false;
  self[n] = '\0';
  std::string command = std::string(self) + " --traffic " + kind + " " + std::to_string(port) +
                        " " + std::to_string(count);
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return false;
  bool read = fscanf(child, "%lf %d", seconds, failed) == 2;
  return pclose(child) == 0 && read;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--traffic") == 0) {
    return TrafficMain(argv[2], static_cast<uint16_t>(atoi(argv[3])), atoi(argv[4]));
  }
  int rounds = argc > 1 ? atoi(argv[1]) : 20000;
  int fresh = argc > 2 ? atoi(argv[2]) : 20000;

  tw::ProxyServer server(tw::kProtocolSocks,
                         tw::ProxyProtocol{&tw::test::RelayTestHandler, nullptr, 4});
  tw::ListenerSettings settings;
  settings.allowLocalDestinations = true;  // the echo destination runs on loopback
  settings.maxConnectionsPerClient = 0;    // every client comes from 127.0.0.1
  if (!server.Start(settings)) {
    fprintf(stderr, "cannot start the proxy\n");
    return 1;
  }
  uint16_t port = static_cast<uint16_t>(server.port());
  printf("exchange benchmark: %zu-byte requests and answers, loopback, proxy CPU only\n",
         kMessage);
  printf("%-34s %12s %12s %10s\n", "traffic", "per second", "CPU us each", "failed");
  struct Kind {
    const char* name;
    const char* label;
    int count;  // round trips or connections in all
  } kinds[] = {{"keep", "round trip, kept-alive connection", rounds * kConnections},
               {"new", "round trip on a new connection", fresh}};
  for (const Kind& k : kinds) {
    double cpu0 = CpuSeconds(), seconds = 0;
    int failed = 0;
    int per_child = k.name == std::string("keep") ? rounds : fresh;
    if (!Run(k.name, port, per_child, &seconds, &failed) || seconds <= 0) {
      fprintf(stderr, "traffic failed\n");
      return 1;
    }
    double cpu = CpuSeconds() - cpu0;
    printf("%-34s %12.0f %12.1f %10d\n", k.label, k.count / seconds, cpu * 1e6 / k.count,
           failed);
  }
  server.Stop();
  return 0;
}
