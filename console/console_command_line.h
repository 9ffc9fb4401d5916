#pragma once
// The tarnwick command line: "--data DIR", "--console ADDR:PORT", "--url", "--help". Each
// switch is a whole argument ("--data=DIR" and "--console=ADDR:PORT" work too); anything
// else is an error, so a path never passes for a switch.
#include <string>
#include <string_view>

namespace tw {

struct ConsoleCommandLine {
  std::string dataDir;         // empty: the program's directory
  std::string consoleAddress;  // empty: [Console] address of option.ini
  int consolePort = -1;        // -1: [Console] port of option.ini; 0: any free port
  bool urlOnly = false;        // print the running console's URL and end
  bool help = false;
  std::string error;  // set when the arguments make no sense
};

ConsoleCommandLine ParseConsoleCommandLine(int argc, const char* const* argv);

// "A.B.C.D:PORT" with a dotted IPv4 address and a port 0-65535. False for anything else.
bool ParseConsoleEndpoint(std::string_view text, std::string* address, int* port);

}  // namespace tw
