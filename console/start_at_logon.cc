#include "console/start_at_logon.h"

#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/atomic_file.h"

namespace tw {

namespace {

constexpr size_t kMaxArgument = 4096;

bool Absolute(const char* path) {
  return path != nullptr && path[0] == '/';
}

bool Writable(const std::string& arg, std::string* error) {
  if (arg.size() > kMaxArgument) {
    *error = "An argument of the start-at-logon command is too long.";
    return false;
  }
  for (unsigned char c : arg) {
    if (c < 0x20 || c == 0x7f) {
      *error = "A path with a control character cannot start at logon.";
      return false;
    }
  }
  return true;
}

// One argument of an Exec line: quoted, with the characters that are special inside quotes
// escaped, then the backslashes doubled once more for the key's string value, and "%" doubled
// so no part is taken for a field code.
std::string ExecArgument(const std::string& arg) {
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string out;
  for (char c : quoted) {
    if (c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

// Makes dir and its missing parents, each new one private to its owner.
bool MakeDirectories(const std::string& dir, std::string* error) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0700) == -1 && errno != EEXIST) {
      *error = "Cannot make " + part + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool WriteAtomically(const std::string& path, const std::string& text, std::string* error) {
  return ReplaceFileAtomically(path, text, 0600, error);
}

std::string EntryPath(const std::string& dir) {
  std::string d = dir.empty() ? AutostartDirectory() : dir;
  return d.empty() ? std::string() : d + "/" + kAutostartFileName;
}

}  // namespace

std::string HomeDirectory() {
  const char* home = getenv("HOME");
  if (Absolute(home)) return home;
  char buf[4096];
  passwd pw;
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && Absolute(pw.pw_dir)) {
    return pw.pw_dir;
  }
  return {};
}

std::string AutostartDirectory() {
  const char* config = getenv("XDG_CONFIG_HOME");
  if (Absolute(config)) return std::string(config) + "/autostart";
  std::string home = HomeDirectory();
  if (home.empty()) return {};
  return home + "/.config/autostart";
}

bool AutostartEntryText(const AutostartCommand& command, std::string* text, std::string* error) {
  if (!Absolute(command.program.c_str()) || !Absolute(command.data_dir.c_str())) {
    *error = "The console's program and data directory must be absolute paths.";
    return false;
  }
  std::vector<std::string> args = {command.program, "--data", command.data_dir};
  args.insert(args.end(), command.extra_arguments.begin(), command.extra_arguments.end());
  std::string exec;
  for (const std::string& a : args) {
    if (!Writable(a, error)) return false;
    if (!exec.empty()) exec += ' ';
    exec += ExecArgument(a);
  }
  *text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Tarnwick Proxy Server\n"
      "Comment=Runs the proxies and the web console at logon\n"
      "Exec=" +
      exec +
      "\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  return true;
}

bool SetStartAtLogon(bool on, const AutostartCommand& command, std::string* error,
                     const std::string& dir) {
  std::string path = EntryPath(dir);
  if (path.empty()) {
    *error = "No home directory is known, so the console cannot start at logon.";
    return false;
  }
  if (!on) {
    if (unlink(path.c_str()) == -1 && errno != ENOENT) {
      *error = "Cannot remove " + path + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  std::string text;
  if (!AutostartEntryText(command, &text, error)) return false;
  if (!MakeDirectories(path.substr(0, path.rfind('/')), error)) return false;
  return WriteAtomically(path, text, error);
}

bool StartAtLogonIsSet(const std::string& dir) {
  std::string path = EntryPath(dir);
  return !path.empty() && access(path.c_str(), F_OK) == 0;
}

}  // namespace tw
