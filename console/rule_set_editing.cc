#include "console/rule_set_editing.h"

#include <functional>

namespace tw {

namespace {

RuleSetUse CountUse(const std::string& data_dir,
                    const std::function<bool(const AccountRules&)>& names_it) {
  RuleSetUse use;
  std::vector<UserRecord> users;
  UserTable(data_dir).List(&users);
  for (const UserRecord& u : users) use.users += names_it(u.rules) ? 1 : 0;
  std::vector<GroupRecord> groups;
  GroupTable(data_dir).List(&groups);
  for (const GroupRecord& g : groups) use.groups += names_it(g.rules) ? 1 : 0;
  return use;
}

std::string Counted(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

PageResult CheckRuleSetName(const std::vector<RuleSetName>& names, std::int32_t id,
                            std::string_view name) {
  if (name.empty()) return {false, kNameMissing, false};
  for (const RuleSetName& entry : names) {
    if (entry.id != id && entry.name == name) return {false, kNameExists, false};
  }
  return {};
}

template <typename R>
PageResult SaveRuleSet(const AccountTable<R>& table, const char* what, R* record) {
  std::string error;
  std::vector<R> records;
  if (!table.List(&records, &error) && !error.empty()) return PageResult::Refused(error);
  std::vector<RuleSetName> names;
  bool found = false;
  for (const R& r : records) {
    names.push_back({r.id, r.name});
    found |= r.id == record->id;
  }
  PageResult check = CheckRuleSetName(names, record->id, record->name);
  if (!check.ok) return check;
  if (record->id == 0) {
    if (!table.Add(record, &error)) return PageResult::Refused(error);
    return {};
  }
  if (!found) return PageResult::Refused(std::string("The ") + what + " no longer exists.");
  if (!table.Update(*record, &error)) return PageResult::Refused(error);
  return {};
}

template <typename R>
PageResult DeleteRuleSet(const AccountTable<R>& table, std::int32_t id) {
  std::string error;
  if (!table.Delete(id, &error)) return PageResult::Refused(error);
  return {};
}

template PageResult SaveRuleSet(const FilterTable&, const char*, FilterRecord*);
template PageResult SaveRuleSet(const ScheduleTable&, const char*, ScheduleRecord*);
template PageResult DeleteRuleSet(const FilterTable&, std::int32_t);
template PageResult DeleteRuleSet(const ScheduleTable&, std::int32_t);

RuleSetUse CountFilterUse(const std::string& data_dir, std::int32_t filter_id) {
  return CountUse(data_dir, [filter_id](const AccountRules& r) { return r.filterid == filter_id; });
}

RuleSetUse CountScheduleUse(const std::string& data_dir, std::int32_t schedule_id) {
  return CountUse(data_dir,
                  [schedule_id](const AccountRules& r) { return r.scheduleid == schedule_id; });
}

std::string DeleteInUseQuestion(const char* what, std::string_view name, const RuleSetUse& use) {
  return "The " + std::string(what) + " \"" + std::string(name) + "\" is used by " +
         Counted(use.users, "user account", "user accounts") + " and " +
         Counted(use.groups, "group", "groups") + ". They will then have no " + what +
         ".\nDo you want to delete it?";
}

std::string OverLimitNote(const char* plural, std::size_t total, std::size_t limit) {
  if (total <= limit) return "";
  return std::to_string(total) + " " + plural + " exist; the proxies use only the first " +
         std::to_string(limit) + " of this list.";
}

}  // namespace tw
