// The names of the web filters and schedules, for the lists that let an operator pick one by
// name (the editors, the account and group dialogs). Each entry carries the record's id, which
// is what accounts store. Any thread: the table is opened and closed within each call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tw {

struct RuleSetName {
  std::int32_t id = 0;
  std::string name;
};

// Every record's id and name in id order; empty (with *error when given) when the table is
// missing or unreadable.
std::vector<RuleSetName> ListWebFilterNames(const std::string& data_dir,
                                            std::string* error = nullptr);
std::vector<RuleSetName> ListScheduleNames(const std::string& data_dir,
                                           std::string* error = nullptr);

}  // namespace tw
