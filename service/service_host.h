#pragma once
// The service itself: what kestrane does when systemd runs it, or in a terminal with
// --foreground. It takes the data directory's lock (one instance per directory), makes a fresh
// installation where files are missing, loads what the proxies read (schedules, web filters),
// starts the proxies through the server manager, reports READY to systemd, and runs until
// SIGTERM or SIGINT, writing activity lines to the daily file (when Savelog is on) and its own
// lines to kestrane.log (when LogLevel is not 0) and to standard error (the journal).
// Ends with "<name> stopping..." and "<name> stopped." once every proxy is stopped.
#include <string>

#include "hosting/service_identity.h"

namespace tw {

struct ServiceOptions {
  std::string serviceName = kDefaultServiceName;
  std::string dataDir;
  bool foreground = false;  // print where each proxy listens
};

// The process exit code: 0 after a normal run (also when no proxy could start: "No servers to
// start"), 1 when another instance holds the data directory or the directory is unusable.
int RunService(const ServiceOptions& options);

}  // namespace tw
