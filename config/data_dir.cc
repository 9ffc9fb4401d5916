#include "config/data_dir.h"

#include <unistd.h>

#include <climits>
#include <cstring>

namespace tw {
namespace {

std::string StripTrailingSlashes(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace

std::string ProgramDirectory() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool DataDirFromArguments(int argc, const char* const* argv, std::string* data_dir,
                          std::string* error) {
  static constexpr std::string_view kSwitch = "--data";
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    std::string_view arg = argv[i];
    if (arg == kSwitch) {
      if (i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '\0') {
        *error = "--data needs a directory";
        return false;
      }
      *data_dir = StripTrailingSlashes(argv[i + 1]);
      return true;
    }
    if (arg.size() > kSwitch.size() && arg.substr(0, kSwitch.size() + 1) == "--data=") {
      *data_dir = StripTrailingSlashes(std::string(arg.substr(kSwitch.size() + 1)));
      return true;
    }
  }
  *data_dir = ProgramDirectory();
  return true;
}

std::string DataFilePath(std::string_view data_dir, std::string_view file_name) {
  std::string path(data_dir);
  if (path.empty()) return std::string(file_name);
  if (path.back() != '/') path += '/';
  path += file_name;
  return path;
}

}  // namespace tw
