#include "console/account_pickers.h"

#include "config/account_tables.h"
#include "console/json_fields.h"

namespace tw {

namespace {
constexpr int kIdKey = 0;
constexpr int kNameKey = 1;
}  // namespace

std::vector<UserChoice> ListUserChoices(const std::string& data_dir, std::string* error) {
  std::vector<UserRecord> records;
  std::vector<UserChoice> out;
  if (!UserTable(data_dir).List(&records, error, kNameKey, kMaxListedAccounts)) return out;
  out.reserve(records.size());
  for (UserRecord& r : records) out.push_back(ChoiceOf(std::move(r)));
  return out;
}

std::vector<GroupChoice> ListGroupChoices(const std::string& data_dir, std::string* error,
                                          AccountOrder order) {
  std::vector<GroupRecord> records;
  std::vector<GroupChoice> out;
  int key = order == AccountOrder::kByName ? kNameKey : kIdKey;
  if (!GroupTable(data_dir).List(&records, error, key, kMaxListedAccounts)) return out;
  out.reserve(records.size());
  for (GroupRecord& r : records) out.push_back(ChoiceOf(std::move(r)));
  return out;
}

UserChoice ChoiceOf(UserRecord&& r) {
  return {r.id, std::move(r.userid), std::move(r.name)};
}

GroupChoice ChoiceOf(GroupRecord&& r) {
  return {r.id, std::move(r.name)};
}

void to_json(nlohmann::json& j, const UserChoice& c) {
  j = nlohmann::json{{"id", c.id}, {"userid", c.userid}, {"name", c.name}};
}

void from_json(const nlohmann::json& j, UserChoice& c) {
  c.id = Int32Field(j, "id");
  c.userid = TextField(j, "userid");
  c.name = TextField(j, "name");
}

void to_json(nlohmann::json& j, const GroupChoice& c) {
  j = nlohmann::json{{"id", c.id}, {"name", c.name}};
}

void from_json(const nlohmann::json& j, GroupChoice& c) {
  c.id = Int32Field(j, "id");
  c.name = TextField(j, "name");
}

}  // namespace tw
