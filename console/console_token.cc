#include "console/console_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/data_dir.h"
#include "platform/random_text.h"

namespace tw {

std::string NewConsoleSecret() {
  return RandomHex(32);
}

bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return diff == 0;
}

std::string BrowserAddress(const std::string& bound_address) {
  return bound_address == "0.0.0.0" || bound_address.empty() ? "127.0.0.1" : bound_address;
}

std::string ConsoleLoginUrl(const std::string& bound_address, int port, const std::string& token) {
  return "http://" + BrowserAddress(bound_address) + ":" + std::to_string(port) +
         "/login?token=" + token;
}

bool WriteConsoleUrlFile(const std::string& data_dir, const std::string& url, std::string* error) {
  std::string path = DataFilePath(data_dir, kConsoleUrlFileName);
  std::string temp = path + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd == -1) {
    *error = "cannot write " + temp + ": " + std::strerror(errno);
    return false;
  }
  std::string line = url + "\n";
  bool ok = fchmod(fd, 0600) == 0 && write(fd, line.data(), line.size()) ==
                                         static_cast<ssize_t>(line.size());
  if (close(fd) == -1) ok = false;
  if (!ok || rename(temp.c_str(), path.c_str()) == -1) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

bool ReadConsoleUrlFile(const std::string& data_dir, std::string* url) {
  std::string path = DataFilePath(data_dir, kConsoleUrlFileName);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd == -1) return false;
  char buf[1024];
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  if (n <= 0) return false;
  std::string_view text(buf, static_cast<std::size_t>(n));
  text = text.substr(0, text.find('\n'));
  if (text.rfind("http://", 0) != 0) return false;
  *url = std::string(text);
  return true;
}

void RemoveConsoleUrlFile(const std::string& data_dir) {
  unlink(DataFilePath(data_dir, kConsoleUrlFileName).c_str());
}

}  // namespace tw
