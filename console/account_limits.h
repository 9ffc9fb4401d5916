#pragma once
// The Limitations tab that the user and the group dialog share: the speed limits, the address
// rule, the web filter and the schedule of an account (the AccountRules fields but the
// per-proxy switches, which the server dialog edits). One reader and writer of these fields
// for both dialogs: the presets of a new account, the checks before a save, the JSON the
// browser sends and receives, and the filter and schedule lists to choose from.
// Pure functions apart from the file reads named; any thread.
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "config/account_records.h"
#include "config/rule_set_names.h"

namespace tw {

// A new account's limits: the switches and speeds of [Speed] in option.ini, nothing else.
AccountRules PresetLimitations(const std::string& data_dir);

// Copies the Limitations fields of `from` onto *to; the per-proxy switches of *to stay.
void CopyLimitations(const AccountRules& from, AccountRules* to);

// The first refusal of the tab's values, or an empty text. A speed is checked only while its
// box is ticked (a cleared box leaves whatever the record held).
std::string LimitationsRefusal(const AccountRules& rules);

// The tab's fields as members of the JSON object *j: "downloadLimitOn", "downloadSpeed",
// "uploadLimitOn", "uploadSpeed", "ipRangeOn", "ipRange", "filterOn", "filterId",
// "scheduleOn", "scheduleId" (switches as booleans).
void LimitationsToJson(const AccountRules& rules, nlohmann::json* j);
// Reads the same members; throws std::exception when one is missing or of another type.
void LimitationsFromJson(const nlohmann::json& j, AccountRules* rules);

// The Web Filter and Schedule lists (without their empty first entry, which the page adds).
struct LimitationChoices {
  std::vector<RuleSetName> filters;
  std::vector<RuleSetName> schedules;
};

// Unreadable tables list nothing; *error then says why (the last failure).
LimitationChoices ListLimitationChoices(const std::string& data_dir, std::string* error);

// {"filters": [{"id", "name"}], "schedules": [...]}
void to_json(nlohmann::json& j, const LimitationChoices& choices);

}  // namespace tw
