#pragma once
// What tarnwick does: on a data directory whose console already runs, print (and on a
// desktop open) that console's URL and end; otherwise start up in this order: the fresh
// installation of missing files, the activity log, the options, the data the proxies read,
// the console's listening socket, AutoActive, then serve the console and print its URL
// until Exit, SIGTERM or SIGINT stop the proxies, save the options and end the program.
#include <string>

namespace tw {

struct ConsoleOptions {
  std::string dataDir;         // absolute
  std::string consoleAddress;  // empty: option.ini [Console] address
  int consolePort = -1;        // -1: option.ini [Console] port
  bool urlOnly = false;        // --url
};

// The process exit code: 0 after a normal run or a printed URL, 1 when the console cannot
// start or (with --url) none runs.
int RunConsole(const ConsoleOptions& options);

}  // namespace tw
