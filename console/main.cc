// tarnwick: the Tarnwick Proxy Server console. Runs the proxies and serves the console's web
// pages; prints the URL to open.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "config/data_dir.h"
#include "hosting/program_start.h"
#include "console/console_app.h"
#include "console/console_command_line.h"

namespace {

constexpr char kUsage[] =
    "tarnwick: the Tarnwick Proxy Server console.\n"
    "\n"
    "usage: tarnwick [--data DIR] [--console ADDRESS:PORT]\n"
    "           run the proxies and the web console; prints the console's URL\n"
    "       tarnwick --url [--data DIR]\n"
    "           print the URL of the console already running on DIR\n"
    "\n"
    "DIR holds option.ini, the .sdb tables, the refusal pages and the logs; by default the\n"
    "directory of this program. The console listens on 127.0.0.1:8808 unless [Console] in\n"
    "option.ini or --console says otherwise (port 0: any free port).\n";


}  // namespace

int main(int argc, char** argv) {
  tw::ConsoleCommandLine cl = tw::ParseConsoleCommandLine(argc, argv);
  if (!cl.error.empty()) {
    std::fprintf(stderr, "tarnwick: %s\n\n%s", cl.error.c_str(), kUsage);
    return 2;
  }
  if (cl.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  tw::ConsoleOptions options;
  options.dataDir = tw::AbsoluteDir(cl.dataDir.empty() ? tw::ProgramDirectory() : cl.dataDir);
  options.consoleAddress = cl.consoleAddress;
  options.consolePort = cl.consolePort;
  options.urlOnly = cl.urlOnly;
  return tw::RunConsole(options);
}
