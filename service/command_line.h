#pragma once
// The kestrane command line. Switches are whole arguments after the program path: "-i", "-u",
// "-s", "-e" (a "/" works like the "-"; upper case is not a switch), "--foreground",
// "--data DIR" (or "--data=DIR"), "--help". The first service switch wins; an argument that is
// not a switch is an error, so a path can never pass for one.
#include <string>

namespace tw {

enum class ServiceCommand { kNone, kInstall, kUninstall, kStart, kStop, kForeground, kHelp };

struct ServiceCommandLine {
  ServiceCommand command = ServiceCommand::kNone;
  std::string dataDir;  // empty: the program's directory
  std::string error;    // set when the arguments make no sense
};

ServiceCommandLine ParseServiceCommandLine(int argc, const char* const* argv);

}  // namespace tw
