// The server dialog's values and controls as the console's JSON API carries them.
#include <exception>
#include <nlohmann/json.hpp>

#include "console/json_fields.h"
#include "console/server_dialog.h"

namespace tw {

namespace {

std::vector<std::int32_t> IdList(const nlohmann::json& j, const char* key) {
  std::vector<std::int32_t> ids;
  if (!j.contains(key)) return ids;
  const nlohmann::json& list = j.at(key);
  if (!list.is_array()) throw std::out_of_range(std::string(key) + " is not a list");
  if (list.size() > kMaxListedAccounts) throw std::out_of_range(std::string(key) + " is too long");
  for (const nlohmann::json& item : list) ids.push_back(Int32Value(item, key));
  return ids;
}

template <typename Choice>
std::vector<Choice> ChoiceList(const nlohmann::json& j, const char* key) {
  if (!j.contains(key)) return {};
  const nlohmann::json& list = j.at(key);
  if (!list.is_array()) throw std::out_of_range(std::string(key) + " is not a list");
  if (list.size() > kMaxListedAccounts) throw std::out_of_range(std::string(key) + " is too long");
  return list.get<std::vector<Choice>>();
}

}  // namespace

void to_json(nlohmann::json& j, const ServerDialogValues& v) {
  j = nlohmann::json{{"id", v.id},
                     {"name", v.name},
                     {"port", v.port},
                     {"description", v.description},
                     {"enabled", v.enabled},
                     {"permitEveryone", v.permit_everyone},
                     {"ipRangeOn", v.ip_range_on},
                     {"ipRange", v.ip_range},
                     {"downloadLimitOn", v.download_limit_on},
                     {"downloadSpeed", v.download_speed},
                     {"uploadLimitOn", v.upload_limit_on},
                     {"uploadSpeed", v.upload_speed},
                     {"users", v.users},
                     {"groups", v.groups},
                     {"removedUserIds", v.removed_user_ids},
                     {"removedGroupIds", v.removed_group_ids}};
}

void from_json(const nlohmann::json& j, ServerDialogValues& v) {
  if (!j.is_object()) throw std::out_of_range("the dialog's values are not an object");
  ServerDialogValues out;
  out.id = Int32Field(j, "id");
  out.port = Int32Field(j, "port");
  out.description = TextField(j, "description");
  out.enabled = BoolField(j, "enabled");
  out.permit_everyone = !j.contains("permitEveryone") || BoolField(j, "permitEveryone");
  out.ip_range_on = BoolField(j, "ipRangeOn");
  out.ip_range = TextField(j, "ipRange");
  out.download_limit_on = BoolField(j, "downloadLimitOn");
  out.download_speed = Int32Field(j, "downloadSpeed");
  out.upload_limit_on = BoolField(j, "uploadLimitOn");
  out.upload_speed = Int32Field(j, "uploadSpeed");
  out.users = ChoiceList<UserChoice>(j, "users");
  out.groups = ChoiceList<GroupChoice>(j, "groups");
  out.removed_user_ids = IdList(j, "removedUserIds");
  out.removed_group_ids = IdList(j, "removedGroupIds");
  v = std::move(out);
}

bool ServerDialogValuesFromJson(const nlohmann::json& j, ServerDialogValues* values,
                                std::string* error) {
  try {
    from_json(j, *values);
    return true;
  } catch (const std::exception& e) {
    *error = std::string("The server dialog's values are not valid: ") + e.what();
    return false;
  }
}

void to_json(nlohmann::json& j, const ServerDialogControls& c) {
  j = nlohmann::json{{"accountTabs", c.account_tabs},
                     {"permitEveryoneShown", c.permit_everyone_shown},
                     {"mailLimitsShared", c.mail_limits_shared},
                     {"portEdit", c.port_edit},
                     {"descriptionEdit", c.description_edit},
                     {"ipRangeCheck", c.ip_range_check},
                     {"downloadCheck", c.download_check},
                     {"uploadCheck", c.upload_check},
                     {"ipRangeEdit", c.ip_range_edit},
                     {"downloadEdit", c.download_edit},
                     {"uploadEdit", c.upload_edit}};
}

}  // namespace tw
