#include "hosting/startup_data.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "config/installation.h"
#include "config/protocols.h"

namespace tw {

namespace {

std::string ReadPage(const std::string& dir, const char* name) {
  std::string path = dir;
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path += name;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return "";
  std::string page;
  char buf[8192];
  while (page.size() < kMaxPageBytes) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) break;
    page.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (page.size() > kMaxPageBytes) page.resize(kMaxPageBytes);
  return page;
}

}  // namespace

void LoadRefusalPages(const std::string& dataDir, HttpListenerSettings* http) {
  http->ipBlockPage = ReadPage(dataDir, kIpBlockPageFile);
  http->webFilterPage = ReadPage(dataDir, kWebFilterPageFile);
  http->schedulePage = ReadPage(dataDir, kSchedulePageFile);
}

void StartupData::Load(const std::string& dataDir) {
  LoadRefusalPages(dataDir, &pages_);
  auto filters = std::make_shared<WebFilterList>();
  filters->Load(dataDir);
  filters_ = std::move(filters);
  auto schedules = std::make_shared<ScheduleList>();
  schedules->Load(dataDir);
  schedules_ = std::move(schedules);
}

void StartupData::ApplyTo(int32_t protocolId, ListenerSettings* settings) const {
  settings->schedules = schedules_;
  if (protocolId != kProtocolHttp) return;
  settings->http.ipBlockPage = pages_.ipBlockPage;
  settings->http.webFilterPage = pages_.webFilterPage;
  settings->http.schedulePage = pages_.schedulePage;
  settings->http.webFilters = filters_;
}

}  // namespace tw
