#pragma once
// The user and group pickers: every account listed for a multi-select, users by user name,
// groups by group name (key 1 order). The same entries fill the Users and Groups tabs of the
// server dialog, and (groups in id order) the Group list of the account dialog. A missing or
// unreadable table lists nothing, with *error (when given) saying why. Owner thread, or any thread:
// the tables are opened and closed within each call.
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "config/account_records.h"

namespace tw {

// At most this many accounts are listed or accepted in one list.
constexpr std::size_t kMaxListedAccounts = 100000;

struct UserChoice {
  std::int32_t id = 0;
  std::string userid;  // the login name
  std::string name;    // the full name
};

struct GroupChoice {
  std::int32_t id = 0;
  std::string name;
};

// The entry of an account record.
UserChoice ChoiceOf(UserRecord&& record);
GroupChoice ChoiceOf(GroupRecord&& record);

std::vector<UserChoice> ListUserChoices(const std::string& data_dir, std::string* error = nullptr);
enum class AccountOrder { kByName, kById };
std::vector<GroupChoice> ListGroupChoices(const std::string& data_dir, std::string* error = nullptr,
                                          AccountOrder order = AccountOrder::kByName);

// {"id", "userid", "name"} and {"id", "name"}. Reading takes the id only as an integer that
// fits 32 bits and the texts only as strings; anything else throws nlohmann::json's
// type_error or out_of_range.
void to_json(nlohmann::json& j, const UserChoice& c);
void from_json(const nlohmann::json& j, UserChoice& c);
void to_json(nlohmann::json& j, const GroupChoice& c);
void from_json(const nlohmann::json& j, GroupChoice& c);

}  // namespace tw
