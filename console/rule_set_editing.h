#pragma once
// What the Web Filter and Schedule editors share: the rules for a record's name, the save and
// delete of one named record, how many accounts still name a record, and the note when more
// records exist than the proxies load.
//
// Name rules: a name may not be empty, and no two records share a name. A new record under a
// name that another record has is refused with kNameExists, and so is a rename to such a
// name (the list would otherwise show one name for two records, and the account dialogs
// could not tell them apart).
//
// Any thread; every call opens and closes its tables. Two writers must not run at once (the
// table engine takes no locks): the routes run them on the console's owner thread.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/account_tables.h"
#include "config/rule_set_names.h"
#include "console/page_result.h"

namespace tw {

constexpr char kNameExists[] = "The name exists,\nPlease type other name!";
constexpr char kNameMissing[] = "Please type a name.";

// Why a name cannot be saved for the record `id` (0 = a new record) among `names`; ok when
// it can. The refusal has no caption, as the editors show it.
PageResult CheckRuleSetName(const std::vector<RuleSetName>& names, std::int32_t id,
                            std::string_view name);

// Saves *record under the name rules: Add when record->id is 0 (record->id then holds the new
// id), else Update of the record with that id. `what` names the kind in messages
// ("web filter"). A text longer than its field is refused, never cut.
template <typename R>
PageResult SaveRuleSet(const AccountTable<R>& table, const char* what, R* record);

// Deletes the record `id`; refused with the table's reason.
template <typename R>
PageResult DeleteRuleSet(const AccountTable<R>& table, std::int32_t id);

// Accounts and groups whose "filterid" (or "scheduleid") holds an id, whatever their switch.
struct RuleSetUse {
  std::size_t users = 0;
  std::size_t groups = 0;
  std::size_t total() const { return users + groups; }
};
RuleSetUse CountFilterUse(const std::string& data_dir, std::int32_t filter_id);
RuleSetUse CountScheduleUse(const std::string& data_dir, std::int32_t schedule_id);

// The question asked before deleting a record that `use` still names ("web filter", "Office").
std::string DeleteInUseQuestion(const char* what, std::string_view name, const RuleSetUse& use);

// The editors' note when `total` records exist and the proxies load only the first `limit`;
// empty when total <= limit. `plural` names the kind ("web filters").
std::string OverLimitNote(const char* plural, std::size_t total, std::size_t limit);

}  // namespace tw
