#include "console/web_filter_editor.h"

#include <nlohmann/json.hpp>

#include "config/account_tables.h"
#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/filter_file_chooser.h"
#include "console/json_fields.h"
#include "console/rule_set_routes.h"
#include "engine/policy/web_filter_list.h"

namespace tw {

namespace {
constexpr std::int32_t kTypePermitted = 1;
constexpr std::int32_t kTypeForbidden = 2;
}  // namespace

std::int32_t FilterTypeFor(bool forbidden) {
  return forbidden ? kTypeForbidden : kTypePermitted;
}

bool ForbiddenFromType(std::int32_t type) {
  return type != kTypePermitted;
}

WebFilterValues WebFilterValuesOf(const FilterRecord& r) {
  return {r.name, ForbiddenFromType(r.type), r.usefile != 0, r.webaddresses, r.filepath};
}

PageResult SaveWebFilter(const std::string& data_dir, const std::vector<std::string>& roots,
                         const WebFilterValues& values, std::int32_t* id) {
  FilterRecord record;
  record.id = *id;
  record.name = values.name;
  record.type = FilterTypeFor(values.forbidden);
  record.usefile = values.useFile ? 1 : 0;
  record.webaddresses = values.webaddresses;
  record.filepath = values.filepath;
  if (values.useFile) {
    std::string error;
    if (!CheckFilterFilePath(values.filepath, roots, kNotesWidth, kMaxFilterFileBytes,
                             &record.filepath, &error)) {
      return PageResult::Refused(error);
    }
  }
  PageResult result = SaveRuleSet(FilterTable(data_dir), "web filter", &record);
  if (result.ok) *id = record.id;
  return result;
}

void to_json(nlohmann::json& j, const WebFilterValues& v) {
  j = nlohmann::json{{"name", v.name},
                     {"forbidden", v.forbidden},
                     {"useFile", v.useFile},
                     {"webaddresses", v.webaddresses},
                     {"filepath", v.filepath}};
}

void from_json(const nlohmann::json& j, WebFilterValues& v) {
  v.name = TextField(j, "name");
  v.forbidden = BoolField(j, "forbidden");
  v.useFile = BoolField(j, "useFile");
  v.webaddresses = TextField(j, "webaddresses");
  v.filepath = TextField(j, "filepath");
}

void RegisterWebFilterEditor(ApiRouter& router, ConsoleOwner& owner) {
  RuleSetEditorSpec spec;
  spec.base = "/api/web-filters";
  spec.what = "web filter";
  spec.plural = "web filters";
  spec.limit = kMaxWebFilters;
  spec.list = [](const std::string& dir) { return ListWebFilterNames(dir); };
  spec.load = [](const std::string& dir, std::int32_t id, nlohmann::json* values) {
    FilterRecord r;
    if (!FilterTable(dir).FindById(id, &r)) return false;
    *values = WebFilterValuesOf(r);
    return true;
  };
  spec.save = [](const std::string& dir, const nlohmann::json& values, std::int32_t* id) {
    return SaveWebFilter(dir, FilterFileRoots(dir), values.get<WebFilterValues>(), id);
  };
  spec.erase = [](const std::string& dir, std::int32_t id) {
    return DeleteRuleSet(FilterTable(dir), id);
  };
  spec.use = CountFilterUse;
  RegisterRuleSetEditor(router, owner, std::move(spec));

  router.Get("/api/web-filters/files",
             "The filter file chooser: ?folder=PATH (empty: the data directory and the home "
             "directory)&type=txt|all lists one folder.",
             [&owner](const ApiRequest& request) {
               FolderListing listing;
               std::string error;
               std::vector<std::string> roots = FilterFileRoots(owner.dataDir());
               if (!ListFilterFileFolder(request.Query("folder"), roots,
                                         request.Query("type", "txt") != "all", &listing, &error)) {
                 return ApiReply::Error(400, error);
               }
               nlohmann::json entries = nlohmann::json::array();
               for (const FolderEntry& e : listing.entries) {
                 entries.push_back({{"name", e.name}, {"path", e.path}, {"folder", e.folder}});
               }
               return ApiReply::Json({{"folder", listing.folder},
                                      {"parent", listing.parent},
                                      {"entries", entries},
                                      {"truncated", listing.truncated}});
             });
}

}  // namespace tw
