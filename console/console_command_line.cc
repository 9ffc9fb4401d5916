#include "console/console_command_line.h"

#include "platform/address_text.h"

namespace tw {

namespace {

// "--name VALUE" or "--name=VALUE" at argv[*i]; advances *i past a separate value. False
// when argv[*i] is not this switch; *missing when it is but has no value.
bool TakeValue(int argc, const char* const* argv, int* i, std::string_view name,
               std::string* value, bool* missing) {
  std::string_view arg = argv[*i];
  if (arg == name) {
    if (*i + 1 >= argc || argv[*i + 1][0] == '\0') {
      *missing = true;
      return true;
    }
    *value = argv[++*i];
    return true;
  }
  if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
    *value = std::string(arg.substr(name.size() + 1));
    *missing = value->empty();
    return true;
  }
  return false;
}

}  // namespace

bool ParseConsoleEndpoint(std::string_view text, std::string* address, int* port) {
  uint32_t parsed = 0;
  uint16_t value = 0;
  if (!ParseIPv4Endpoint(text, &parsed, &value)) return false;
  *address = std::string(text.substr(0, text.rfind(':')));
  *port = value;
  return true;
}

ConsoleCommandLine ParseConsoleCommandLine(int argc, const char* const* argv) {
  ConsoleCommandLine out;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string value;
    bool missing = false;
    if (TakeValue(argc, argv, &i, "--data", &value, &missing)) {
      if (missing) {
        out.error = "--data needs a directory";
        return out;
      }
      out.dataDir = value;
    } else if (TakeValue(argc, argv, &i, "--console", &value, &missing)) {
      if (missing || !ParseConsoleEndpoint(value, &out.consoleAddress, &out.consolePort)) {
        out.error = "--console needs ADDRESS:PORT, for example 127.0.0.1:8808";
        return out;
      }
    } else if (arg == "--url") {
      out.urlOnly = true;
    } else if (arg == "--help" || arg == "-h") {
      out.help = true;
    } else {
      out.error = "unknown argument: " + std::string(arg);
      return out;
    }
  }
  while (out.dataDir.size() > 1 && out.dataDir.back() == '/') out.dataDir.pop_back();
  return out;
}

}  // namespace tw
