#include "console/console_app.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "config/data_dir.h"
#include "config/installation.h"
#include "config/protocols.h"
#include "config/settings.h"
#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/console_token.h"
#include "console/page_registry.h"
#include "console/service_control.h"
#include "console/service_status.h"
#include "console/web_server.h"
#include "hosting/program_start.h"
#include "platform/address_text.h"
#include "platform/ascii_text.h"
#include "platform/descriptor_limit.h"
#include "platform/tick.h"

extern char** environ;

namespace tw {

namespace {

constexpr char kLockFileName[] = "tarnwick.lock";

bool DesktopSession() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x != nullptr && *x != '\0') || (wayland != nullptr && *wayland != '\0');
}

// Opens the URL in the desktop's browser; the opener's own output is discarded.
void OpenInBrowser(const std::string& url) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // The child must not inherit the blocked SIGTERM/SIGINT.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  std::string program = "xdg-open";
  char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "xdg-open", &actions, &attr, argv, environ) == 0) {
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
}

void PrintUrl(const std::string& url) {
  std::printf("Tarnwick Proxy Server console: %s\n", url.c_str());
  std::fflush(stdout);
}

bool IsLoopback(const std::string& address) {
  return address.rfind("127.", 0) == 0;
}

// The console that already runs on this data directory: its URL, printed and opened.
int ShowRunningConsole(const std::string& dir, bool urlOnly) {
  std::string url;
  if (!ReadConsoleUrlFile(dir, &url)) {
    std::fprintf(stderr, "tarnwick: a console is starting on %s; try again in a moment\n",
                 dir.c_str());
    return 1;
  }
  PrintUrl(url);
  Settings settings = Settings::InDataDir(dir);
  if (!urlOnly && DesktopSession()) OpenInBrowser(url);
  return 0;
}

}  // namespace

int RunConsole(const ConsoleOptions& options) {
  const std::string& dir = options.dataDir;
  if (mkdir(dir.c_str(), 0700) == -1 && errno != EEXIST) {
    std::fprintf(stderr, "tarnwick: cannot create the data directory %s: %s\n", dir.c_str(),
                 std::strerror(errno));
    return 1;
  }
  InstanceLock lock(dir, kLockFileName);
  if (!lock.held()) {
    if (lock.openError() != 0) {
      std::fprintf(stderr, "tarnwick: cannot open the lock file in %s: %s\n", dir.c_str(),
                   std::strerror(lock.openError()));
      return 1;
    }
    return ShowRunningConsole(dir, options.urlOnly);
  }
  if (options.urlOnly) {
    std::fprintf(stderr, "tarnwick: no console is running on %s\n", dir.c_str());
    return 1;
  }

  int signals = StopSignalDescriptor();
  // Every connection costs descriptors; the proxies size their total from this limit, and the
  // table is grown at once so that no burst of clients waits for it to grow.
  RaiseDescriptorLimit();
  ReserveDescriptorTable(kStartDescriptorTable);
  std::string error;
  if (!InstallMissingDataFiles(dir, &error)) {
    std::fprintf(stderr, "tarnwick: data directory %s: %s\n", dir.c_str(), error.c_str());
  }

  ConsoleOwner owner(dir, SystemClock::Instance());
  owner.isServiceRunning = [dir] { return InstalledServiceRunning(dir); };
  AutostartCommand autostart = DefaultServiceControlOptions(dir).autostart;
  owner.options().applyStartAtLogon = [autostart](bool on, std::string* error) {
    return SetStartAtLogon(on, autostart, error);
  };
  std::string fileError;
  owner.StartUp(&fileError);
  if (!fileError.empty()) std::fprintf(stderr, "tarnwick: %s\n", fileError.c_str());

  ApiRouter router;
  RegisterConsoleRoutes(router, owner);
  ConsoleWebServer web(owner, router);

  Settings settings = Settings::InDataDir(dir);
  std::string address = options.consoleAddress;
  int port = options.consolePort;
  if (address.empty()) address = settings.Text(setting::kConsoleAddress);
  if (port < 0) {
    uint16_t configured = 0;
    port = ParsePortText(settings.Text(setting::kConsolePort), &configured) ? configured : 8808;
  }
  uint32_t parsed = 0;
  if (!ParseCanonicalIPv4(address, &parsed)) {
    std::fprintf(stderr, "tarnwick: [Console] address %s is not an IPv4 address\n",
                 address.c_str());
    if (signals != -1) close(signals);
    return 1;
  }
  if (web.Bind(address, port, &error) == false) {
    std::fprintf(stderr, "tarnwick: the console %s\n", error.c_str());
    if (signals != -1) close(signals);
    return 1;
  }
  port = web.identity().port;
  // No proxy may be made to connect to the console itself.
  owner.manager().ownEndpoints().Add({parsed, static_cast<uint16_t>(port)});
  if (!IsLoopback(address)) {
    std::fprintf(stderr,
                 "tarnwick: warning: the console listens on %s, reachable from other machines; "
                 "anyone who learns its URL controls the proxies\n",
                 address.c_str());
  }

  owner.AutoActivate();

  std::string url = ConsoleLoginUrl(address, port, web.identity().token);
  if (!WriteConsoleUrlFile(dir, url, &error)) std::fprintf(stderr, "tarnwick: %s\n", error.c_str());
  PrintUrl(url);
  if (!owner.options().values().minimize && DesktopSession()) OpenInBrowser(url);

  std::thread server([&web] { web.Serve(); });
  for (;;) {
    pollfd fds[3] = {{signals, POLLIN, 0}, {owner.ActionFd(), POLLIN, 0},
                     {owner.ActivityFd(), POLLIN, 0}};
    int rc = poll(fds, 3, owner.SampleThroughput(MonotonicMs()));
    owner.DrainActions();
    owner.DrainActivity();
    if (owner.ExitRequested()) break;
    if (rc > 0 && (fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info;
      while (read(signals, &info, sizeof info) == sizeof info) {
      }
      break;
    }
  }

  owner.CloseActions();
  owner.Shutdown();
  owner.live().Close();
  web.Stop();
  server.join();
  RemoveConsoleUrlFile(dir);
  std::printf("Tarnwick Proxy Server console stopped.\n");
  if (signals != -1) close(signals);
  return 0;
}

}  // namespace tw
