// The web filters in memory: read once from filter.sdb before the proxies start, then only
// read by the HTTP workers. At most 100 filters in table order; a filter whose "UseFile" is on
// takes its patterns from the file named by "filepath" (read whole, up to 1 MiB; empty when
// it cannot be read). Accounts name a filter by its record id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

constexpr std::size_t kMaxWebFilters = 100;
constexpr std::size_t kMaxFilterFileBytes = 1024 * 1024;

struct WebFilter {
  std::int32_t id = 0;
  std::int32_t type = 0;  // 1 = only the listed sites are allowed, 2 = the listed sites blocked
  std::string patterns;   // wildcard patterns separated by ";"
};

class WebFilterList {
 public:
  WebFilterList() = default;
  explicit WebFilterList(std::vector<WebFilter> filters);

  // Replaces the list from "<data_dir>/filter.sdb"; a missing table leaves it empty (false).
  bool Load(std::string_view data_dir);

  // The filter whose record id is filter_id; nullptr when there is none.
  const WebFilter* Find(std::int32_t filter_id) const;
  std::size_t size() const { return filters_.size(); }

 private:
  std::vector<WebFilter> filters_;
};

}  // namespace tw
