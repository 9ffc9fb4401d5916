#include "service/service_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "config/activity_log.h"
#include "config/data_dir.h"
#include "config/installation.h"
#include "config/service_log.h"
#include "config/settings.h"
#include "hosting/metrics_listener.h"
#include "hosting/metrics_text.h"
#include "hosting/program_start.h"
#include "hosting/server_manager.h"
#include "hosting/traffic_recording.h"
#include "platform/address_text.h"
#include "platform/clock.h"
#include "platform/descriptor_limit.h"
#include "platform/registry.h"
#include "service/systemd_unit.h"

namespace tw {

namespace {

constexpr char kLockFileName[] = "kestrane.lock";

// Once woken for an activity line, the loop lets the lines of this short moment gather before it
// takes them: workers that post while a batch is pending raise no wake-up, so a busy proxy
// costs the loop one wake-up per batch instead of one per connection or request.
constexpr int kActivityBatchPollMs = 20;

// A line of the service itself: to kestrane.log (through the service logger) and to standard
// error, which systemd keeps in the journal.
void HostLog(ServiceLogger& logger, const std::string& line) {
  logger.Printf(3, "%s", line.c_str());
  std::fprintf(stderr, "%s\n", line.c_str());
}

void ApplyThreadPriority(ServiceLogger& logger, const std::string& dataDir) {
  int nice_value = ThreadPriorityNice(ReadRegistryValue(dataDir, kThreadPriority));
  pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice_value) == -1) {
    HostLog(logger,
            "ThreadPriority could not be applied (nice " + std::to_string(nice_value) + ")");
  }
}

// The monitoring endpoint when [Server] metrics_address names one; a bad address is one line
// of the service log and the proxies run without it.
void StartMetrics(MetricsListener& metrics, ServerManager& manager, const std::string& dir,
                  const std::function<void(const std::string&)>& log) {
  std::string address = Settings::InDataDir(dir).Text(setting::kMetricsAddress);
  if (address.empty()) return;
  std::string error;
  if (!metrics.Start(address, &error)) {
    log("Metrics not served: " + error);
    return;
  }
  ListenEndpoint at = metrics.endpoint();
  manager.ownEndpoints().Add(at);
  log("Metrics served on " + AddressText(at.address) + ":" + std::to_string(at.port) + "/metrics");
}

}  // namespace

int RunService(const ServiceOptions& options) {
  const std::string& name = options.serviceName;
  const std::string& dir = options.dataDir;
  int signals = StopSignalDescriptor();
  // A data directory that does not exist yet is made private to the service's user; the
  // installation fills it below.
  if (mkdir(dir.c_str(), 0700) == -1 && errno != EEXIST) {
    std::fprintf(stderr, "%s: cannot create the data directory %s: %s\n", name.c_str(), dir.c_str(),
                 std::strerror(errno));
  }

  ServiceLogger logger(SystemClock::Instance());
  if (ReadRegistryValue(dir, kLogLevel) != 0 &&
      !logger.Open(DataFilePath(dir, kServiceLogFileName))) {
    std::fprintf(stderr, "%s\n", logger.ErrorText().c_str());
  }
  auto log = [&logger](const std::string& line) { HostLog(logger, line); };

  InstanceLock lock(dir, kLockFileName);
  if (!lock.held()) {
    if (lock.openError() != 0) {
      std::fprintf(stderr, "%s: cannot open the lock file in %s: %s\n", name.c_str(), dir.c_str(),
                   std::strerror(lock.openError()));
    } else {
      std::fprintf(stderr, "%s: another instance is already running on %s\n", name.c_str(),
                   dir.c_str());
    }
    if (signals != -1) close(signals);
    return 1;
  }
  NotifySystemd("STATUS=Starting the proxies");
  // Every connection costs descriptors; the proxies size their total from this limit, and the
  // table is grown at once so that no burst of clients waits for it to grow.
  RaiseDescriptorLimit();
  ReserveDescriptorTable(kStartDescriptorTable);

  std::string error;
  if (!InstallMissingDataFiles(dir, &error)) log("Data directory " + dir + ": " + error);

  // The start-up loader: daily activity file, Savelog, what the handlers read.
  ActivityLog activity(ActivityLogMode::kService, dir, SystemClock::Instance());
  if (!activity.Start()) log(activity.FileError());
  activity.SetSavelog(Settings::InDataDir(dir).Switch(setting::kSavelog));

  // Declared before the manager: the listeners report to it until they are stopped.
  TrafficRecording traffic(dir, "service", SystemClock::Instance());
  traffic.Start();
  ServerManager manager(ManagerHost::kService, dir, log, activity.Sink());
  manager.SetTrafficSink(&traffic);
  traffic.SetCollector([&manager] { manager.ReportTraffic(); });
  manager.events.listenFailed = log;
  // Before the proxies start, so that none is ever made to connect to it.
  MetricsListener metrics(
      MetricsSources{[&manager] { return ManagerMetricsText(manager); },
                     [&dir] { return Settings::InDataDir(dir).Text(setting::kMetricsToken); }});
  StartMetrics(metrics, manager, dir, log);
  manager.StartServers();
  ApplyThreadPriority(logger, dir);
  bool running = manager.AllServersActive();
  if (!running) {
    log("No servers to start");
  } else if (options.foreground) {
    std::string address = Settings::InDataDir(dir).Text(setting::kListenAddress);
    if (address.empty()) address = "0.0.0.0";
    for (int32_t id = kFirstProtocol; id <= kLastProtocol; ++id) {
      if (manager.Running(id)) {
        std::printf("%s proxy listening on %s:%d\n", NamesOf(id).upper, address.c_str(),
                    manager.Server(id).port());
      }
    }
    std::fflush(stdout);
  }
  NotifySystemd("READY=1\nSTATUS=" +
                std::string(running ? "Proxies running" : "No servers to start"));
  logger.SetOwnerAttached(true);

  while (running) {
    pollfd fds[3] = {
        {signals, POLLIN, 0}, {activity.Queue().WakeFd(), POLLIN, 0}, {logger.WakeFd(), POLLIN, 0}};
    int rc = poll(fds, 3, 1000);
    if (rc > 0 && (fds[1].revents & POLLIN) != 0 && (fds[0].revents & POLLIN) == 0) {
      pollfd signal_fd = {signals, POLLIN, 0};
      rc = poll(&signal_fd, 1, kActivityBatchPollMs);
      fds[0].revents = signal_fd.revents;
    }
    activity.DrainPosted();
    logger.Drain();
    if (rc > 0 && (fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info;
      while (read(signals, &info, sizeof info) == sizeof info) {
      }
      break;
    }
  }

  NotifySystemd("STOPPING=1");
  metrics.Stop();
  manager.StopServers();
  traffic.Stop();
  traffic.SetCollector(nullptr);
  if (!traffic.LastError().empty()) log(traffic.LastError());
  activity.DrainPosted();
  logger.SetOwnerAttached(false);
  logger.Drain();
  log(name + " stopping...");
  log(name + " stopped.");
  if (signals != -1) close(signals);
  return 0;
}

}  // namespace tw
