#include "service/command_line.h"

#include <cstring>
#include <string_view>

namespace tw {

namespace {

ServiceCommand SwitchOf(std::string_view arg) {
  if (arg.size() != 2 || (arg[0] != '-' && arg[0] != '/')) return ServiceCommand::kNone;
  switch (arg[1]) {
    case 'i':
      return ServiceCommand::kInstall;
    case 'u':
      return ServiceCommand::kUninstall;
    case 's':
      return ServiceCommand::kStart;
    case 'e':
      return ServiceCommand::kStop;
    default:
      return ServiceCommand::kNone;
  }
}

}  // namespace

ServiceCommandLine ParseServiceCommandLine(int argc, const char* const* argv) {
  ServiceCommandLine out;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--data") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        out.error = "--data needs a directory";
        return out;
      }
      out.dataDir = argv[++i];
      continue;
    }
    if (arg.rfind("--data=", 0) == 0) {
      out.dataDir = std::string(arg.substr(7));
      if (out.dataDir.empty()) {
        out.error = "--data needs a directory";
        return out;
      }
      continue;
    }
    ServiceCommand c = SwitchOf(arg);
    if (c == ServiceCommand::kNone) {
      if (arg == "--foreground")
        c = ServiceCommand::kForeground;
      else if (arg == "--help" || arg == "-h")
        c = ServiceCommand::kHelp;
      else {
        out.error = "unknown argument: " + std::string(arg);
        return out;
      }
    }
    if (out.command == ServiceCommand::kNone) out.command = c;
  }
  while (out.dataDir.size() > 1 && out.dataDir.back() == '/') out.dataDir.pop_back();
  return out;
}

}  // namespace tw
