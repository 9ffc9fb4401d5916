// kestrane: the service host. Installs, removes, starts and stops itself as a systemd service,
// and runs the proxies when systemd starts it (or in a terminal with --foreground).
#include <unistd.h>

#include <cstdio>
#include <string>

#include "config/data_dir.h"
#include "hosting/program_start.h"
#include "config/installation.h"
#include "config/settings.h"
#include "service/command_line.h"
#include "service/service_host.h"
#include "service/systemd_unit.h"

namespace {

constexpr char kBanner[] =
    "kestrane: the Tarnwick Proxy Server service host.\n"
    "\n"
    "usage: kestrane -i | -u | -s | -e [--data DIR]\n"
    "           install, uninstall, start or stop the systemd service\n"
    "       kestrane --foreground [--data DIR]\n"
    "           run the proxies in this terminal until Ctrl-C\n"
    "       kestrane [--data DIR]\n"
    "           run as the service (when systemd starts it)\n"
    "\n"
    "DIR holds option.ini, the .sdb tables, the refusal pages and the logs; by default the\n"
    "directory of this program.\n";

std::string ProgramPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "kestrane";
  return std::string(buf, static_cast<size_t>(n));
}


int NoSystemd(const char* what) {
  std::fprintf(stderr,
               "kestrane: systemd is not running on this machine, so the service cannot be %s.\n"
               "Run the proxies in a terminal instead: kestrane --foreground\n",
               what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  tw::ServiceCommandLine cl = tw::ParseServiceCommandLine(argc, argv);
  if (!cl.error.empty()) {
    std::fprintf(stderr, "kestrane: %s\n\n%s", cl.error.c_str(), kBanner);
    return 2;
  }
  std::string dataDir = tw::AbsoluteDir(cl.dataDir.empty() ? tw::ProgramDirectory() : cl.dataDir);
  std::string name = tw::ServiceNameFor(dataDir);
  std::string error;
  switch (cl.command) {
    case tw::ServiceCommand::kHelp:
      std::fputs(kBanner, stdout);
      return 0;
    case tw::ServiceCommand::kInstall: {
      if (!tw::SystemdRunning()) return NoSystemd("installed");
      // Made now, by the user the service runs as: the sandbox can open only a data
      // directory that exists when the service starts.
      if (!tw::InstallMissingDataFiles(dataDir, &error)) {
        std::fprintf(stderr, "Couldn't create service: %s\n", error.c_str());
        return 1;
      }
      bool already = false;
      if (!tw::InstallUnit("/", name, ProgramPath(), dataDir, &already, &error)) {
        std::fprintf(stderr, "Couldn't create service: %s\n", error.c_str());
        return 1;
      }
      if (already) return 0;
      std::printf("Service succesfully installed\n");
      // From now on the service runs the proxies: the console neither starts its own nor
      // starts at logon until the user turns these options on again.
      tw::Settings settings = tw::Settings::InDataDir(dataDir);
      settings.SetInt(tw::setting::kAutoActive, 0, &error);
      settings.SetInt(tw::setting::kStartup, 0, &error);
      return 0;
    }
    case tw::ServiceCommand::kUninstall: {
      if (!tw::SystemdRunning()) return NoSystemd("uninstalled");
      bool absent = false;
      if (!tw::UninstallUnit("/", name, &absent, &error)) {
        std::fprintf(stderr, "Service could not be deleted: %s\n", error.c_str());
        return 1;
      }
      if (!absent) std::printf("Service succesfully uninstalled\n");
      return 0;
    }
    case tw::ServiceCommand::kStart:
      if (!tw::SystemdRunning()) return NoSystemd("started");
      return tw::StartInstalledService(name) ? 0 : 1;
    case tw::ServiceCommand::kStop:
      if (!tw::SystemdRunning()) return NoSystemd("stopped");
      return tw::StopInstalledService(name) ? 0 : 1;
    case tw::ServiceCommand::kForeground:
      return tw::RunService({name, dataDir, true});
    case tw::ServiceCommand::kNone:
      if (!tw::UnderSystemd()) {
        std::fputs(kBanner, stdout);
        return 0;
      }
      return tw::RunService({name, dataDir, false});
  }
  return 1;
}
