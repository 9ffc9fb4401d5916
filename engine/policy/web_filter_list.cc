#include "engine/policy/web_filter_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "config/account_tables.h"

namespace tw {
namespace {

// The file's bytes up to kMaxFilterFileBytes; "" when it cannot be opened.
std::string ReadPatternFile(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return "";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return "";
  std::string data;
  char buf[8192];
  while (data.size() < kMaxFilterFileBytes) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (data.size() > kMaxFilterFileBytes) data.resize(kMaxFilterFileBytes);
  return data;
}

}  // namespace

WebFilterList::WebFilterList(std::vector<WebFilter> filters) : filters_(std::move(filters)) {
  if (filters_.size() > kMaxWebFilters) filters_.resize(kMaxWebFilters);
}

bool WebFilterList::Load(std::string_view data_dir) {
  std::vector<FilterRecord> records;
  bool ok = FilterTable(data_dir).List(&records, nullptr, 0, kMaxWebFilters);
  std::vector<WebFilter> filters;
  for (const FilterRecord& r : records) {
    WebFilter f;
    f.id = r.id;
    f.type = r.type;
    f.patterns = r.usefile != 0 ? ReadPatternFile(r.filepath) : r.webaddresses;
    filters.push_back(std::move(f));
  }
  filters_ = std::move(filters);
  return ok;
}

const WebFilter* WebFilterList::Find(std::int32_t filter_id) const {
  for (const WebFilter& f : filters_) {
    if (f.id == filter_id) return &f;
  }
  return nullptr;
}

}  // namespace tw
