#include "service/systemd_unit.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

namespace tw {

namespace {

std::string UnitPath(const std::string& root, const std::string& serviceName) {
  std::string base = root == "/" ? std::string() : root;
  return base + "/etc/systemd/system/" + UnitName(serviceName) + ".service";
}

// Runs systemctl with the arguments, without a shell; returns its exit status and, when out
// is given, its standard output.
int Systemctl(const std::vector<std::string>& args, std::string* out = nullptr) {
  int pipefd[2];
  if (pipe(pipefd) == -1) return -1;
  pid_t pid = fork();
  if (pid == -1) return -1;
  if (pid == 0) {
    dup2(pipefd[1], 1);
    close(pipefd[0]);
    close(pipefd[1]);
    std::vector<char*> argv;
    static char name[] = "systemctl";
    argv.push_back(name);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp("systemctl", argv.data());
    _exit(127);
  }
  close(pipefd[1]);
  char buf[512];
  ssize_t n;
  std::string text;
  while ((n = read(pipefd[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ActiveState(const std::string& unit) {
  std::string out;
  Systemctl({"is-active", unit}, &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool WaitWhile(const std::string& unit, const std::string& transitional, const std::string& goal) {
  for (int i = 0; i < 120; ++i) {  // at most two minutes
    std::string state = ActiveState(unit);
    if (state != transitional) return state == goal;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  return false;
}

// A value for ExecStart: quoted, with backslashes and quotes escaped, "%" doubled.
std::string Quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "\"";
}

bool MakeDirectories(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    std::string part = path.substr(0, i);
    if (mkdir(part.c_str(), 0755) == -1 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

std::string UnitFileText(const std::string& serviceName, const std::string& program,
                         const std::string& dataDir) {
  std::string description;
  for (char c : serviceName) description += (c == '\n' || c == '\r') ? ' ' : c;
  return "[Unit]\n"
         "Description=" +
         description +
         "\n"
         "After=network-online.target\n"
         "Wants=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" +
         Quoted(program) + " --data " + Quoted(dataDir) +
         "\n"
         "Restart=on-failure\n"
         "RestartSec=2\n"
         "TimeoutStopSec=20\n"
         "LimitNOFILE=65536\n"
         // Root, but with no power beyond binding the low proxy ports and raising the
         // priority ThreadPriority may ask for (nice below 0); an exec gains nothing.
         "NoNewPrivileges=yes\n"
         "CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_SYS_NICE\n"
         "AmbientCapabilities=CAP_NET_BIND_SERVICE CAP_SYS_NICE\n"
         "UMask=0077\n"
         // All read-only but the data directory, which stays writable even under /home; a
         // program or filter file under /home stays readable.
         "ProtectSystem=strict\n"
         "ReadWritePaths=" +
         Quoted(dataDir) +
         "\n"
         "ProtectHome=read-only\n"
         "PrivateTmp=yes\n"
         "PrivateDevices=yes\n"
         "DevicePolicy=closed\n"
         "PrivateMounts=yes\n"
         "ProtectKernelTunables=yes\n"
         "ProtectKernelModules=yes\n"
         "ProtectKernelLogs=yes\n"
         "ProtectControlGroups=yes\n"
         "ProtectClock=yes\n"
         "ProtectHostname=yes\n"
         "ProtectProc=invisible\n"
         "ProcSubset=pid\n"
         "KeyringMode=private\n"
         // The proxies' own sockets, sd_notify and name lookups over AF_UNIX, the interface
         // list over netlink. No address deny list: a proxy reaches anywhere on the Internet.
         "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK\n"
         "RestrictNamespaces=yes\n"
         "RestrictRealtime=yes\n"
         "RestrictSUIDSGID=yes\n"
         "LockPersonality=yes\n"
         "MemoryDenyWriteExecute=yes\n"
         "RemoveIPC=yes\n"
         "SystemCallArchitectures=native\n"
         // @system-service keeps @resources: setrlimit for the descriptor limit and
         // setpriority for ThreadPriority. A call outside the set fails rather than killing
         // every proxy at once.
         "SystemCallFilter=@system-service\n"
         "SystemCallFilter=~@privileged\n"
         "SystemCallErrorNumber=EPERM\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

bool SystemdRunning() {
  struct stat st;
  return lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

bool UnderSystemd() {
  return getenv("NOTIFY_SOCKET") != nullptr || getenv("INVOCATION_ID") != nullptr;
}

bool InstallUnit(const std::string& root, const std::string& serviceName,
                 const std::string& program, const std::string& dataDir, bool* alreadyInstalled,
                 std::string* error) {
  std::string path = UnitPath(root, serviceName);
  struct stat st;
  *alreadyInstalled = stat(path.c_str(), &st) == 0;
  if (*alreadyInstalled) return true;
  std::string dir = path.substr(0, path.rfind('/'));
  if (Systemctl({"--version"}) != 0) {
    *error = "systemctl is not available";
    return false;
  }
  if (!MakeDirectories(dir)) {
    *error = "cannot create " + dir;
    return false;
  }
  std::ofstream f(path);
  f << UnitFileText(serviceName, program, dataDir);
  f.close();
  if (!f) {
    *error = "cannot write " + path;
    return false;
  }
  std::string unit = UnitName(serviceName) + ".service";
  if (root == "/") {
    Systemctl({"daemon-reload"});
    if (Systemctl({"enable", unit}) != 0) {
      *error = "systemctl enable " + unit + " failed";
      return false;
    }
  } else if (Systemctl({"--root=" + root, "enable", unit}) != 0) {
    *error = "systemctl --root enable " + unit + " failed";
    return false;
  }
  return true;
}

bool UninstallUnit(const std::string& root, const std::string& serviceName, bool* notInstalled,
                   std::string* error) {
  std::string path = UnitPath(root, serviceName);
  struct stat st;
  *notInstalled = stat(path.c_str(), &st) != 0;
  if (*notInstalled) return true;
  std::string unit = UnitName(serviceName) + ".service";
  if (root == "/") {
    Systemctl({"stop", "--no-block", unit});
    Systemctl({"disable", unit});
  } else {
    Systemctl({"--root=" + root, "disable", unit});
  }
  if (unlink(path.c_str()) == -1) {
    *error = "cannot remove " + path;
    return false;
  }
  if (root == "/") Systemctl({"daemon-reload"});
  return true;
}

bool StartInstalledService(const std::string& serviceName) {
  std::string unit = UnitName(serviceName) + ".service";
  if (Systemctl({"start", "--no-block", unit}) != 0) return false;
  return WaitWhile(unit, "activating", "active");
}

bool StopInstalledService(const std::string& serviceName) {
  std::string unit = UnitName(serviceName) + ".service";
  if (Systemctl({"stop", "--no-block", unit}) != 0) return false;
  return WaitWhile(unit, "deactivating", "inactive");
}

bool NotifySystemd(const std::string& message) {
  const char* socket_path = getenv("NOTIFY_SOCKET");
  if (socket_path == nullptr || socket_path[0] == '\0') return false;
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  size_t len = std::strlen(socket_path);
  if (len >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, socket_path, len);
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return false;
  socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  bool ok =
      sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
             addr_len) == static_cast<ssize_t>(message.size());
  close(fd);
  return ok;
}

}  // namespace tw
