#include "config/rule_set_names.h"

#include "config/account_tables.h"

namespace tw {
namespace {

template <typename R>
std::vector<RuleSetName> NamesOf(const AccountTable<R>& table, std::string* error) {
  std::vector<R> records;
  std::vector<RuleSetName> out;
  if (!table.List(&records, error, 0)) return out;
  out.reserve(records.size());
  for (R& r : records) out.push_back({r.id, std::move(r.name)});
  return out;
}

}  // namespace

std::vector<RuleSetName> ListWebFilterNames(const std::string& data_dir, std::string* error) {
  return NamesOf(FilterTable(data_dir), error);
}

std::vector<RuleSetName> ListScheduleNames(const std::string& data_dir, std::string* error) {
  return NamesOf(ScheduleTable(data_dir), error);
}

}  // namespace tw
