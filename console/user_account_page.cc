#include "console/user_account_page.h"

#include <map>
#include <nlohmann/json.hpp>

#include "config/account_tables.h"
#include "config/settings.h"
#include "console/account_save.h"
#include "console/dialog_checks.h"
#include "console/json_fields.h"

namespace tw {

namespace {

constexpr int kNameKey = 1;

UserRow RowOf(const UserRecord& user, const std::map<std::int32_t, std::string>& group_names) {
  auto it = group_names.find(user.group);
  return {user.userid, user.email, it == group_names.end() ? std::string() : it->second,
          user.enable == 1, 0, 0};
}

std::map<std::int32_t, std::string> GroupNames(const std::string& data_dir) {
  std::map<std::int32_t, std::string> names;
  for (GroupChoice& g : ListGroupChoices(data_dir, nullptr, AccountOrder::kById)) {
    names.emplace(g.id, std::move(g.name));
  }
  return names;
}

// What the dialog edits; the per-proxy switches stay as the record has them.
void CopyDialogFields(const UserRecord& values, UserRecord* rec) {
  rec->userid = values.userid;
  rec->passwd = values.passwd;
  rec->email = values.email;
  rec->name = values.name;
  rec->notes = values.notes;
  rec->group = values.group;
  rec->enable = values.enable != 0 ? 1 : 0;
  CopyLimitations(values.rules, &rec->rules);
}

}  // namespace

std::string UserRefusal(const UserRecord& v) {
  for (const std::string& refusal :
       {TextRefusal("UserID", v.userid, kNameWidth), TextRefusal("password", v.passwd, kNameWidth),
        TextRefusal("e-mail address", v.email, kNameWidth),
        TextRefusal("full name", v.name, kNameWidth),
        TextRefusal("notes", v.notes, kNotesWidth, true), LimitationsRefusal(v.rules)}) {
    if (!refusal.empty()) return refusal;
  }
  return {};
}

std::vector<UserRow> ListUserRows(const std::string& data_dir, std::string* error) {
  std::vector<UserRecord> users;
  std::vector<UserRow> rows;
  if (!UserTable(data_dir).List(&users, error, kNameKey, kMaxListedAccounts)) return rows;
  std::map<std::int32_t, std::string> group_names = GroupNames(data_dir);
  rows.reserve(users.size());
  for (const UserRecord& u : users) rows.push_back(RowOf(u, group_names));
  return rows;
}

PageResult OpenUserDialog(const std::string& data_dir, std::string_view userid,
                          UserDialog* dialog) {
  *dialog = UserDialog{};
  std::string error;
  if (userid.empty()) {
    dialog->values.rules = PresetLimitations(data_dir);
  } else if (!UserTable(data_dir).FindByName(userid, &dialog->values, &error)) {
    return PageResult::Refused("There is no user named \"" + std::string(userid) + "\".");
  }
  dialog->password_masked = Settings::InDataDir(data_dir).Int(setting::kPasswordMode) != 0;
  dialog->groups = ListGroupChoices(data_dir, nullptr, AccountOrder::kById);
  dialog->choices = ListLimitationChoices(data_dir, nullptr);
  return {};
}

PageResult SaveUserDialog(const std::string& data_dir, const UserRecord& values, UserRow* row) {
  *row = UserRow{};
  if (values.userid.empty()) return {};
  std::string refusal = UserRefusal(values);
  if (!refusal.empty()) return PageResult::Refused(refusal);

  UserRecord saved;
  PageResult result =
      SaveAccountRecord(data_dir, values, values.userid, "user", &CopyDialogFields, &saved);
  if (result.ok) *row = RowOf(saved, GroupNames(data_dir));
  return result;
}

PageResult DeleteUser(const std::string& data_dir, std::string_view userid) {
  UserTable table(data_dir);
  UserRecord rec;
  if (!table.FindByName(userid, &rec)) {
    return PageResult::Refused("There is no user named \"" + std::string(userid) + "\".");
  }
  std::string error;
  if (!table.Delete(rec.id, &error)) {
    return PageResult::Refused("The user could not be deleted: " + error);
  }
  return {};
}

void to_json(nlohmann::json& j, const UserRow& row) {
  j = nlohmann::json{{"userid", row.userid},
                     {"password", "*****"},
                     {"email", row.email},
                     {"group", row.group},
                     {"status", row.enabled ? "enable" : "disable"},
                     {"today", row.today},
                     {"month", row.month}};
}

nlohmann::json UserValuesJson(const UserRecord& v) {
  nlohmann::json j{{"id", v.id},       {"userid", v.userid}, {"password", v.passwd},
                   {"email", v.email}, {"group", v.group},   {"enabled", v.enable == 1},
                   {"name", v.name},   {"notes", v.notes}};
  LimitationsToJson(v.rules, &j);
  return j;
}

void UserValuesFromJson(const nlohmann::json& j, UserRecord* v) {
  v->id = Int32Field(j, "id");
  v->userid = TextField(j, "userid");
  v->passwd = TextField(j, "password");
  v->email = TextField(j, "email");
  v->group = Int32Field(j, "group");
  v->enable = BoolField(j, "enabled") ? 1 : 0;
  v->name = TextField(j, "name");
  v->notes = TextField(j, "notes");
  LimitationsFromJson(j, &v->rules);
}

void to_json(nlohmann::json& j, const UserDialog& dialog) {
  j = dialog.choices;
  j["values"] = UserValuesJson(dialog.values);
  j["passwordMasked"] = dialog.password_masked;
  j["groups"] = dialog.groups;
}

}  // namespace tw
