#include "config/rule_set_names.h"

#include "config/account_tables.h"

namespace tw {

namespace {

template <typename R>
std::vector<RuleSetName> ListNames(const AccountTable<R>& table, std::string* error) {
  std::vector<R> records;
  std::vector<RuleSetName> out;
  if (!table.List(&records, error)) return out;
  out.reserve(records.size());
  for (R& r : records) out.push_back({r.id, std::move(r.name)});
  return out;
}

}  // namespace

std::vector<RuleSetName> ListWebFilterNames(const std::string& data_dir, std::string* error) {
  return ListNames(FilterTable(data_dir), error);
}

std::vector<RuleSetName> ListScheduleNames(const std::string& data_dir, std::string* error) {
  return ListNames(ScheduleTable(data_dir), error);
}

}  // namespace tw
