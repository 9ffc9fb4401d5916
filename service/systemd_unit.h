#pragma once
// The service as a systemd unit: its name, its unit file, and the systemctl calls that
// install, remove, start and stop it. Status reports to systemd use the sd_notify datagram
// protocol (READY, STOPPING, STATUS), which does nothing outside systemd.
#include <string>

#include "hosting/service_identity.h"

namespace tw {


// The unit file: Type=notify, the program with its data directory, restart on failure,
// started at boot. The service runs as root in a sandbox: only the data directory is
// writable, files it makes are its owner's only, and it keeps no capability but binding low
// ports and raising its priority. The data directory must exist before the service starts.
std::string UnitFileText(const std::string& serviceName, const std::string& program,
                         const std::string& dataDir);

// True when systemd runs this machine (it can install and control services).
bool SystemdRunning();

// True when this process was started by systemd as a service.
bool UnderSystemd();

// Writes <root>/etc/systemd/system/<unit>.service and enables it (systemctl, with --root when
// root is not "/"). alreadyInstalled: the unit file was there; nothing was changed.
bool InstallUnit(const std::string& root, const std::string& serviceName,
                 const std::string& program, const std::string& dataDir, bool* alreadyInstalled,
                 std::string* error);
// Stops (without waiting), disables and removes the unit. notInstalled: there was none.
bool UninstallUnit(const std::string& root, const std::string& serviceName, bool* notInstalled,
                   std::string* error);

// Starts or stops the installed service and polls its state every second while it is on the
// way; true when it reached active (start) or inactive (stop).
bool StartInstalledService(const std::string& serviceName);
bool StopInstalledService(const std::string& serviceName);

// One sd_notify message ("READY=1", "STOPPING=1", "STATUS=..."); false outside systemd.
bool NotifySystemd(const std::string& message);

}  // namespace tw
