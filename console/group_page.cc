#include "console/group_page.h"

#include <nlohmann/json.hpp>

#include "config/account_tables.h"
#include "console/account_pickers.h"
#include "console/account_save.h"
#include "console/dialog_checks.h"
#include "console/json_fields.h"

namespace tw {

namespace {

GroupRow RowOf(const GroupRecord& g) {
  return {g.id, g.name, g.enable == 1, g.notes};
}

std::string Refusal(const GroupRecord& v) {
  for (const std::string& refusal :
       {TextRefusal("name", v.name, kNameWidth), TextRefusal("notes", v.notes, kNotesWidth, true),
        LimitationsRefusal(v.rules)}) {
    if (!refusal.empty()) return refusal;
  }
  return {};
}

// What the dialog edits; the per-proxy switches stay as the record has them.
void CopyDialogFields(const GroupRecord& values, GroupRecord* rec) {
  rec->name = values.name;
  rec->notes = values.notes;
  rec->enable = values.enable != 0 ? 1 : 0;
  CopyLimitations(values.rules, &rec->rules);
}

}  // namespace

std::vector<GroupRow> ListGroupRows(const std::string& data_dir, std::string* error) {
  std::vector<GroupRecord> groups;
  std::vector<GroupRow> rows;
  if (!GroupTable(data_dir).List(&groups, error, 0, kMaxListedAccounts)) return rows;
  rows.reserve(groups.size());
  for (const GroupRecord& g : groups) rows.push_back(RowOf(g));
  return rows;
}

PageResult OpenGroupDialog(const std::string& data_dir, std::int32_t id, GroupDialog* dialog) {
  *dialog = GroupDialog{};
  if (id == 0) {
    dialog->values.rules = PresetLimitations(data_dir);
  } else if (!GroupTable(data_dir).FindById(id, &dialog->values)) {
    return PageResult::Refused("There is no group with the id " + std::to_string(id) + ".");
  }
  dialog->choices = ListLimitationChoices(data_dir, nullptr);
  return {};
}

PageResult SaveGroupDialog(const std::string& data_dir, const GroupRecord& values, GroupRow* row) {
  *row = GroupRow{};
  if (values.name.empty()) return {};
  std::string refusal = Refusal(values);
  if (!refusal.empty()) return PageResult::Refused(refusal);

  GroupRecord saved;
  PageResult result =
      SaveAccountRecord(data_dir, values, values.name, "group", &CopyDialogFields, &saved);
  if (result.ok) *row = RowOf(saved);
  return result;
}

PageResult DeleteGroup(const std::string& data_dir, std::int32_t id) {
  GroupTable table(data_dir);
  GroupRecord rec;
  if (!table.FindById(id, &rec)) {
    return PageResult::Refused("There is no group with the id " + std::to_string(id) + ".");
  }
  if (rec.name == kGuestGroupName) return PageResult::Refused(kGuestGroupRefusal);
  std::string error;
  if (!table.Delete(id, &error)) {
    return PageResult::Refused("The group could not be deleted: " + error);
  }
  return {};
}

void to_json(nlohmann::json& j, const GroupRow& row) {
  j = nlohmann::json{{"id", row.id},
                     {"name", row.name},
                     {"status", row.enabled ? "enable" : "disable"},
                     {"notes", row.notes}};
}

nlohmann::json GroupValuesJson(const GroupRecord& v) {
  nlohmann::json j{{"id", v.id}, {"name", v.name}, {"enabled", v.enable == 1}, {"notes", v.notes}};
  LimitationsToJson(v.rules, &j);
  return j;
}

void GroupValuesFromJson(const nlohmann::json& j, GroupRecord* v) {
  v->id = Int32Field(j, "id");
  v->name = TextField(j, "name");
  v->enable = BoolField(j, "enabled") ? 1 : 0;
  v->notes = TextField(j, "notes");
  LimitationsFromJson(j, &v->rules);
}

void to_json(nlohmann::json& j, const GroupDialog& dialog) {
  j = dialog.choices;
  j["values"] = GroupValuesJson(dialog.values);
}

}  // namespace tw
