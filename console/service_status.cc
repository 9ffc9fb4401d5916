#include "console/service_status.h"

#include "hosting/service_identity.h"

namespace tw {

namespace {

constexpr int kQueryTimeLimitMs = 10 * 1000;

}  // namespace

std::vector<std::string> ServiceActiveQuery(const std::string& dataDir) {
  return {"systemctl", "is-active", "--quiet", UnitName(ServiceNameFor(dataDir)) + ".service"};
}

bool InstalledServiceRunning(const std::string& dataDir, const ProgramRunner& runner) {
  std::vector<std::string> argv = ServiceActiveQuery(dataDir);
  ProgramOutcome run = runner ? runner(argv) : RunProgram(argv, kQueryTimeLimitMs);
  return run.Succeeded();
}

}  // namespace tw
