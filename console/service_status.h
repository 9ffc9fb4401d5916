#pragma once
// Whether the installed service runs: systemd is asked about the unit kestrane installs for
// this data directory (`systemctl is-active --quiet <unit>.service`). False when systemctl is
// missing, cannot reach systemd, or says anything but active. Blocks for as long as systemctl
// takes (at most a few seconds); safe from any thread.
#include <string>

#include "console/program_runner.h"

namespace tw {

// The systemctl command line asked for the data directory's unit.
std::vector<std::string> ServiceActiveQuery(const std::string& dataDir);

// runner: how the query is run (empty: RunProgram with a short time limit).
bool InstalledServiceRunning(const std::string& dataDir, const ProgramRunner& runner = {});

}  // namespace tw
