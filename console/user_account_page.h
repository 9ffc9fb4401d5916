#pragma once
// The User Account page: the list of user.sdb in user-name order, and the account dialog
// (General and Limitations) that adds or changes one user record. Export and import of the
// text file are in user_account_file.h.
//
// Nothing is cached: every call reads or writes the tables and closes them. The tables take
// no locks, so every call that writes runs on the owner thread (ConsoleOwner::Call).
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "config/account_records.h"
#include "console/account_limits.h"
#include "console/account_pickers.h"
#include "console/page_result.h"

namespace tw {

// One row: UserID, Password (always "*****"), Email, Group (the group's name; empty when the
// id names no group), Status ("enable" or "disable").
struct UserRow {
  std::string userid;
  std::string email;
  std::string group;
  bool enabled = false;
  std::uint64_t today = 0;  // bytes up and down today (traffic_page.h fills them in)
  std::uint64_t month = 0;  // and this month
};

// Every user in key 1 order, at most kMaxListedAccounts. An unreadable user table gives no
// rows and *error says why; an unreadable group table gives empty Group cells.
std::vector<UserRow> ListUserRows(const std::string& data_dir, std::string* error = nullptr);

// What the dialog opens with: the record (id 0 for a new account), whether the password is
// masked ([Server] password_mode, masked unless 0), and the lists to choose from.
struct UserDialog {
  UserRecord values;
  bool password_masked = true;
  std::vector<GroupChoice> groups;  // in id order; the page adds the empty first entry
  LimitationChoices choices;
};

// An empty name opens a new account: enabled, limits from [Speed], no group, filter or
// schedule. Otherwise the user found through key 1; refused when there is none.
PageResult OpenUserDialog(const std::string& data_dir, std::string_view userid, UserDialog* dialog);

// The first refusal of a user's texts and limits, or an empty text: a text too long or holding
// a control character (the notes may hold line breaks), a speed out of range.
std::string UserRefusal(const UserRecord& values);

// OK. An empty user name saves nothing (ok, *row left empty). Refused, writing nothing:
// what UserRefusal refuses and a user name another record holds. values.id > 0 naming a record
// changes that record and keeps its per-proxy switches; otherwise a record is added. On success
// *row is the saved user's row as read back from the table.
PageResult SaveUserDialog(const std::string& data_dir, const UserRecord& values, UserRow* row);

// Delete: the user found by name through key 1. A name no longer there and a failing delete
// are reported.
PageResult DeleteUser(const std::string& data_dir, std::string_view userid);

// {"userid", "password": "*****", "email", "group", "status": "enable"|"disable", "today",
//  "month"}
void to_json(nlohmann::json& j, const UserRow& row);

// The dialog's values: {"id", "userid", "password", "email", "group", "enabled", "name",
// "notes"} and the Limitations members (account_limits.h). Reading throws std::exception for
// a missing member or one of another type; the per-proxy switches are not carried.
nlohmann::json UserValuesJson(const UserRecord& values);
void UserValuesFromJson(const nlohmann::json& j, UserRecord* values);

// {"values", "passwordMasked", "groups": [{"id", "name"}], "filters", "schedules"}
void to_json(nlohmann::json& j, const UserDialog& dialog);

}  // namespace tw
