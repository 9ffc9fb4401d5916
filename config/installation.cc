#include "config/installation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>

#include "config/account_tables.h"
#include "config/data_dir.h"
#include "config/settings.h"
#include "platform/random_text.h"

namespace tw {
namespace {

constexpr char kIpBlockPage[] =
    "<html><head><title>Access denied</title></head><body>\n"
    "<h1>Access denied</h1>\n"
    "<p>Your computer's address is not allowed to use this proxy server.</p>\n"
    "</body></html>\n";
constexpr char kWebFilterPage[] =
    "<html><head><title>Site blocked</title></head><body>\n"
    "<h1>Site blocked</h1>\n"
    "<p>The web filter of this proxy server does not allow this site.</p>\n"
    "</body></html>\n";
constexpr char kSchedulePage[] =
    "<html><head><title>Outside allowed hours</title></head><body>\n"
    "<h1>Outside allowed hours</h1>\n"
    "<p>Your account may not use this proxy server at this time.</p>\n"
    "</body></html>\n";

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Builds a file under a temporary name with build(tmp_path), then links it into place only
// when final_path is still free, so that a concurrent installer's file is never replaced.
bool PlaceNewFile(const std::string& final_path,
                  const std::function<bool(const std::string&, std::string*)>& build, bool* placed,
                  std::string* error) {
  *placed = false;
  std::string tmp = final_path + ".new.XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd == -1) {
    *error = Errno("cannot create a file beside " + final_path);
    return false;
  }
  ::close(fd);  // mkostemp made it 0600, owner only, whatever the umask: it stays so
  bool ok = build(tmp, error);
  if (ok) {
    if (::link(tmp.c_str(), final_path.c_str()) == 0) {
      *placed = true;
    } else if (errno != EEXIST) {
      *error = Errno("cannot create " + final_path);
      ok = false;
    }
  }
  ::unlink(tmp.c_str());
  return ok;
}

bool WriteText(const std::string& path, std::string_view text, std::string* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd == -1) {
    *error = Errno("cannot write " + path);
    return false;
  }
  bool ok = true;
  while (ok && !text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n == -1 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) text.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fsync(fd) == -1) ok = false;
  ::close(fd);
  if (!ok) *error = Errno("cannot write " + path);
  return ok;
}

bool BuildServerTable(const std::string& path, std::string* error) {
  if (!ServerTable::CreateFile(path, error)) return false;
  static const char* const kNames[][2] = {
      {"HTTP Proxy", "HTTP proxy with CONNECT tunnels and ftp:// URLs"},
      {"FTP Proxy", "FTP proxy"},
      {"POP3 Proxy", "POP3 mail proxy"},
      {"SMTP Proxy", "SMTP mail proxy"},
      {"SOCKS Proxy", "SOCKS 4, 4a and 5 proxy"},
  };
  ServerTable table = ServerTable::AtPath(path);
  for (const auto& n : kNames) {
    ServerRecord rec;
    rec.name = n[0];
    rec.description = n[1];
    rec.disable = 0;
    if (!table.Add(&rec, error)) return false;
  }
  return true;
}

bool BuildGroupTable(const std::string& path, std::string* error) {
  if (!GroupTable::CreateFile(path, error)) return false;
  GroupRecord guest;
  guest.name = kGuestGroupName;
  guest.notes = "Default group";
  guest.enable = 1;
  for (int p = 1; p <= 5; ++p) guest.rules.SetServer(p, 1);
  return GroupTable::AtPath(path).Add(&guest, error);
}

// The monitoring endpoint's secret, made once: scrapers configured with it keep working across
// restarts. Two programs installing at once may each write one; the last stays, and both read
// the file at every request.
bool MakeMetricsToken(const std::string& data_dir, std::string* error) {
  Settings settings = Settings::InDataDir(data_dir);
  if (!settings.Text(setting::kMetricsToken).empty()) return true;
  std::string token = RandomHex(kMetricsTokenBytes);
  if (token.empty()) {
    *error = "no random bytes for the metrics token";
    return false;
  }
  return settings.SetText(setting::kMetricsToken, token, error);
}

struct InstallFile {
  const char* name;
  std::function<bool(const std::string&, std::string*)> build;
};

}  // namespace

bool InstallMissingDataFiles(const std::string& data_dir, std::string* error,
                             std::vector<std::string>* created) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  // Owner only: the tables hold passwords, the logs who went where.
  if (::mkdir(data_dir.c_str(), 0700) == -1 && errno != EEXIST) {
    *error = Errno("cannot create " + data_dir);
    return false;
  }
  auto page = [](const char* text) {
    return [text](const std::string& p, std::string* e) { return WriteText(p, text, e); };
  };
  const InstallFile files[] = {
      {kUserTableFile,
       [](const std::string& p, std::string* e) { return UserTable::CreateFile(p, e); }},
      {kGroupTableFile, BuildGroupTable},
      {kServerTableFile, BuildServerTable},
      {kFilterTableFile,
       [](const std::string& p, std::string* e) { return FilterTable::CreateFile(p, e); }},
      {kScheduleTableFile,
       [](const std::string& p, std::string* e) { return ScheduleTable::CreateFile(p, e); }},
      {kIpBlockPageFile, page(kIpBlockPage)},
      {kWebFilterPageFile, page(kWebFilterPage)},
      {kSchedulePageFile, page(kSchedulePage)},
  };
  for (const InstallFile& f : files) {
    std::string path = DataFilePath(data_dir, f.name);
    if (Exists(path)) continue;
    bool placed = false;
    if (!PlaceNewFile(path, f.build, &placed, error)) return false;
    if (placed && created != nullptr) created->push_back(f.name);
  }
  if (!MakeMetricsToken(data_dir, error)) return false;
  std::string log_dir = DataFilePath(data_dir, "log");
  if (::mkdir(log_dir.c_str(), 0700) == 0) {
    if (created != nullptr) created->push_back("log");
  } else if (errno != EEXIST) {
    *error = Errno("cannot create " + log_dir);
    return false;
  }
  return true;
}

}  // namespace tw
