#include "console/account_limits.h"

#include <nlohmann/json.hpp>

#include "config/settings.h"
#include "console/dialog_checks.h"
#include "console/json_fields.h"

namespace tw {

namespace {

std::int32_t Switch(bool on) {
  return on ? 1 : 0;
}

nlohmann::json NamesJson(const std::vector<RuleSetName>& names) {
  nlohmann::json list = nlohmann::json::array();
  for (const RuleSetName& n : names) list.push_back({{"id", n.id}, {"name", n.name}});
  return list;
}

}  // namespace

AccountRules PresetLimitations(const std::string& data_dir) {
  Settings settings = Settings::InDataDir(data_dir);
  AccountRules rules;
  rules.download_limit = settings.Int(setting::kPresetDownloadLimit);
  rules.upload_limit = settings.Int(setting::kPresetUploadLimit);
  rules.download_speed = settings.Int(setting::kPresetDownloadSpeed);
  rules.upload_speed = settings.Int(setting::kPresetUploadSpeed);
  return rules;
}

void CopyLimitations(const AccountRules& from, AccountRules* to) {
  to->download_limit = from.download_limit;
  to->download_speed = from.download_speed;
  to->upload_limit = from.upload_limit;
  to->upload_speed = from.upload_speed;
  to->ip = from.ip;
  to->iprange = from.iprange;
  to->filter = from.filter;
  to->filterid = from.filterid;
  to->schedule = from.schedule;
  to->scheduleid = from.scheduleid;
}

std::string LimitationsRefusal(const AccountRules& r) {
  if (r.download_limit != 0) {
    std::string refusal = SpeedRefusal("download speed limit", r.download_speed);
    if (!refusal.empty()) return refusal;
  }
  if (r.upload_limit != 0) {
    std::string refusal = SpeedRefusal("upload speed limit", r.upload_speed);
    if (!refusal.empty()) return refusal;
  }
  return TextRefusal("IP address range", r.iprange, kRuleWidth);
}

void LimitationsToJson(const AccountRules& r, nlohmann::json* j) {
  (*j)["downloadLimitOn"] = r.download_limit != 0;
  (*j)["downloadSpeed"] = r.download_speed;
  (*j)["uploadLimitOn"] = r.upload_limit != 0;
  (*j)["uploadSpeed"] = r.upload_speed;
  (*j)["ipRangeOn"] = r.ip != 0;
  (*j)["ipRange"] = r.iprange;
  (*j)["filterOn"] = r.filter != 0;
  (*j)["filterId"] = r.filterid;
  (*j)["scheduleOn"] = r.schedule != 0;
  (*j)["scheduleId"] = r.scheduleid;
}

void LimitationsFromJson(const nlohmann::json& j, AccountRules* r) {
  r->download_limit = Switch(BoolField(j, "downloadLimitOn"));
  r->download_speed = Int32Field(j, "downloadSpeed");
  r->upload_limit = Switch(BoolField(j, "uploadLimitOn"));
  r->upload_speed = Int32Field(j, "uploadSpeed");
  r->ip = Switch(BoolField(j, "ipRangeOn"));
  r->iprange = TextField(j, "ipRange");
  r->filter = Switch(BoolField(j, "filterOn"));
  r->filterid = Int32Field(j, "filterId");
  r->schedule = Switch(BoolField(j, "scheduleOn"));
  r->scheduleid = Int32Field(j, "scheduleId");
}

LimitationChoices ListLimitationChoices(const std::string& data_dir, std::string* error) {
  LimitationChoices choices;
  choices.filters = ListWebFilterNames(data_dir, error);
  choices.schedules = ListScheduleNames(data_dir, error);
  return choices;
}

void to_json(nlohmann::json& j, const LimitationChoices& choices) {
  j = nlohmann::json{{"filters", NamesJson(choices.filters)},
                     {"schedules", NamesJson(choices.schedules)}};
}

}  // namespace tw
