#pragma once
// The Group page: the list of group.sdb in id order and the group dialog (General and
// Limitations) that adds or changes one group record. Users keep the id of their group in
// their own record; deleting a group leaves them as they are.
//
// Nothing is cached: every call reads or writes the tables and closes them. Calls that write
// run on the owner thread (ConsoleOwner::Call).
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "config/account_records.h"
#include "console/account_limits.h"
#include "console/page_result.h"

namespace tw {

// One row: ID, Name, Status ("enable" when the field is 1, else "disable"), Notes.
struct GroupRow {
  std::int32_t id = 0;
  std::string name;
  bool enabled = false;
  std::string notes;
};

// Every group in id order, at most kMaxListedAccounts. An unreadable table gives no rows and
// *error says why.
std::vector<GroupRow> ListGroupRows(const std::string& data_dir, std::string* error = nullptr);

struct GroupDialog {
  GroupRecord values;  // id 0 for a new group
  LimitationChoices choices;
};

// Id 0 opens a new group: enabled, limits from [Speed], no filter or schedule. Otherwise the
// group found through key 0; refused when there is none.
PageResult OpenGroupDialog(const std::string& data_dir, std::int32_t id, GroupDialog* dialog);

// OK. An empty name saves nothing (ok, row->id 0). Refused, writing nothing: a text too long
// or holding a control character (notes may hold line breaks), a speed out of range, a name
// another group holds. values.id > 0 naming a record changes it and keeps its per-proxy
// switches; otherwise a group is added and gets the id the table gives. On success *row is
// the saved group's row as read back.
PageResult SaveGroupDialog(const std::string& data_dir, const GroupRecord& values, GroupRow* row);

// Delete, after the page asked: refuses the group named "[Guest]" with the default-group
// message; a group no longer there and a failing delete are reported.
PageResult DeleteGroup(const std::string& data_dir, std::int32_t id);

constexpr char kGuestGroupRefusal[] =
    "This is the default group for guest(unregistered users).\r\nYou cannot delete it!";

// {"id", "name", "status": "enable"|"disable", "notes"}
void to_json(nlohmann::json& j, const GroupRow& row);

// The dialog's values: {"id", "name", "enabled", "notes"} and the Limitations members
// (account_limits.h). Reading throws std::exception for a missing or mistyped member.
nlohmann::json GroupValuesJson(const GroupRecord& values);
void GroupValuesFromJson(const nlohmann::json& j, GroupRecord* values);

// {"values", "filters", "schedules"}
void to_json(nlohmann::json& j, const GroupDialog& dialog);

}  // namespace tw
