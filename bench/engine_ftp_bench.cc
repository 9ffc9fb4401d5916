// FTP transfer benchmark: one download and one upload of a file between curl and a real FTP
// server (pyftpdlib) on loopback, directly and through the FTP proxy (passive mode), in the
// same run; MB/s of each and the proxy's share of the direct rate.
//
// Usage: engine_ftp_bench [MiB=256]
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/core/proxy_server.h"
#include "engine/proxy_protocols.h"
#include "tests/support/test_sockets.h"

namespace {

constexpr char kServerScript[] = R"(
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.disable(logging.CRITICAL)
auth = DummyAuthorizer()
auth.add_user("bench", "bench", sys.argv[1], perm="elradfmw")
FTPHandler.authorizer = auth
server = FTPServer(("127.0.0.1", 0), FTPHandler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
)";

// Starts the server; returns its port (0 on failure) and its process id in *pid.
uint16_t StartServer(const std::string& root, pid_t* pid) {
  int out[2];
  if (pipe(out) == -1) return 0;
  *pid = fork();
  if (*pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execl("/usr/bin/python3", "python3", "-c", kServerScript, root.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string line;
  pollfd p{out[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && poll(&p, 1, 20000) == 1) {
    char buf[64];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  return static_cast<uint16_t>(std::atoi(line.c_str()));
}

// Seconds the curl command took; negative when it failed.
double TimedCurl(const std::string& args) {
  auto start = std::chrono::steady_clock::now();
  int status = -1;
  tw::test::RunCommand("curl -s --max-time 600 --disable-epsv " + args, &status);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return status == 0 ? s : -1;
}

}  // namespace

int main(int argc, char** argv) {
  long mib = argc > 1 ? std::atol(argv[1]) : 256;
  if (mib <= 0 || mib > 4096) mib = 256;
  char dir[] = "/tmp/tw-ftp-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  std::string root = std::string(dir) + "/root";
  std::string local = std::string(dir) + "/up.bin";
  tw::test::RunCommand("mkdir -p " + root + " && head -c " + std::to_string(mib) +
                       "M /dev/urandom > " + root + "/down.bin && cp " + root + "/down.bin " +
                       local);
  pid_t pid = -1;
  uint16_t server_port = StartServer(root, &pid);
  tw::ProxyServer proxy(tw::kProtocolFtp, tw::ProtocolFor(tw::kProtocolFtp));
  tw::ListenerSettings settings;
  settings.ftp.dataPortRangeOn = true;
  settings.allowLocalDestinations = true;  // the server runs on loopback
  settings.maxConnectionsPerClient = 0;  // every client comes from 127.0.0.1
  if (server_port == 0 || !proxy.Start(settings)) {
    fprintf(stderr, "cannot start the FTP server or the proxy\n");
    if (pid > 0) kill(pid, SIGTERM);
    return 1;
  }
  std::string server = "127.0.0.1:" + std::to_string(server_port);
  std::string direct = "ftp://bench:bench@" + server + "/";
  std::string proxied = "ftp://bench%40127.0.0.1%3A" + std::to_string(server_port) +
                        ":bench@127.0.0.1:" + std::to_string(proxy.port()) + "/";
  struct Row {
    const char* name;
    double direct, proxied;
  } rows[] = {
      {"download", TimedCurl("-o /dev/null " + direct + "down.bin"),
       TimedCurl("-o /dev/null " + proxied + "down.bin")},
      {"upload", TimedCurl("-T " + local + " " + direct + "up-direct.bin"),
       TimedCurl("-T " + local + " " + proxied + "up-proxied.bin")},
  };
  printf("FTP transfer of %ld MiB on loopback, curl <-> pyftpdlib, passive mode, one run\n", mib);
  printf("| transfer | direct MB/s | through proxy MB/s | proxy / direct |\n");
  printf("|---|---|---|---|\n");
  double mb = static_cast<double>(mib) * 1048576.0 / 1e6;
  for (const Row& r : rows) {
    if (r.direct <= 0 || r.proxied <= 0) {
      printf("| %s | failed | failed | - |\n", r.name);
      continue;
    }
    printf("| %s | %.1f | %.1f | %.2f |\n", r.name, mb / r.direct, mb / r.proxied,
           r.direct / r.proxied);
  }
  proxy.Stop();
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  tw::test::RunCommand(std::string("rm -rf ") + dir);
  return 0;
}
