#pragma once
// The Web Filter editor: one filter.sdb record at a time, chosen by name. The choice
// "Forbidden sites" stores type 2 and "Permitted sites" type 1; "Use a filter file" takes the
// patterns from a file instead of the site list, a file that must lie in the data directory
// or the console user's home (filter_file_chooser.h). The proxies read the filters when they
// are started from the console.
// Routes under /api/web-filters (rule_set_routes.h) and /api/web-filters/files (the
// chooser). Any thread for the free functions; every call opens and closes the table.
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "config/account_records.h"
#include "console/page_result.h"

namespace tw {

class ApiRouter;
class ConsoleOwner;

struct WebFilterValues {
  std::string name;
  bool forbidden = true;  // "Forbidden sites"; false: "Permitted sites"
  bool useFile = false;   // "Use a filter file"
  std::string webaddresses;
  std::string filepath;
};

// The stored "type" of a choice, and the choice a stored type shows (anything but 1 shows
// "Forbidden sites").
std::int32_t FilterTypeFor(bool forbidden);
bool ForbiddenFromType(std::int32_t type);

WebFilterValues WebFilterValuesOf(const FilterRecord& record);

// Save: a new record when *id is 0 (then *id is its id), else the record *id. With the file
// in use, the path must pass CheckFilterFilePath over `roots` and is stored resolved.
PageResult SaveWebFilter(const std::string& data_dir, const std::vector<std::string>& roots,
                         const WebFilterValues& values, std::int32_t* id);

// {"name", "forbidden", "useFile", "webaddresses", "filepath"}; reading throws on a missing
// field or a wrong type.
void to_json(nlohmann::json& j, const WebFilterValues& v);
void from_json(const nlohmann::json& j, WebFilterValues& v);

void RegisterWebFilterEditor(ApiRouter& router, ConsoleOwner& owner);

}  // namespace tw
