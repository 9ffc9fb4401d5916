// The names of the web filters and schedules, for the lists that let an account choose one.
// Each call opens the table, reads it in id order (key 0) and closes it, so any thread may
// call. A missing or unreadable table lists nothing, with *error (when given) saying why.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tw {

struct RuleSetName {
  std::int32_t id = 0;
  std::string name;
};

std::vector<RuleSetName> ListWebFilterNames(const std::string& data_dir, std::string* error);
std::vector<RuleSetName> ListScheduleNames(const std::string& data_dir, std::string* error);

}  // namespace tw
