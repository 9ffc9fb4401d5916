#pragma once
// The routes every rule-set editor has (Web Filter, Schedule), under one base path:
//   GET  base            the name list in id order, with the over-limit note
//   GET  base/record     ?id=N: one record's values
//   POST base/save       {"id": 0 for a new record, "values": {...}}
//   POST base/delete     {"id": N, "confirmed": bool}; a record that accounts or groups
//                        still name is deleted only when confirmed, else the reply carries
//                        the question to ask
// Every table access runs on the console's owner thread, so two browser tabs never write a
// table at the same moment. Registered once at start-up.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "console/page_result.h"
#include "console/rule_set_editing.h"

namespace tw {

class ApiRouter;
class ConsoleOwner;

struct RuleSetEditorSpec {
  const char* base;    // "/api/web-filters"
  const char* what;    // "web filter", in messages
  const char* plural;  // "web filters"
  std::size_t limit;   // how many the proxies load
  std::function<std::vector<RuleSetName>(const std::string& data_dir)> list;
  // The record's values as the browser shows them; false when there is no such record.
  std::function<bool(const std::string& data_dir, std::int32_t id, nlohmann::json* values)> load;
  // Saves values (the browser's JSON, which may throw on a wrong shape) as record *id
  // (0 = new, then set to the new id).
  std::function<PageResult(const std::string& data_dir, const nlohmann::json& values,
                           std::int32_t* id)>
      save;
  std::function<PageResult(const std::string& data_dir, std::int32_t id)> erase;
  std::function<RuleSetUse(const std::string& data_dir, std::int32_t id)> use;
};

void RegisterRuleSetEditor(ApiRouter& router, ConsoleOwner& owner, RuleSetEditorSpec spec);

// A record id from a query or body text: 1 to 999999999, digits only.
bool ParseRecordId(const std::string& text, std::int32_t* id);

}  // namespace tw
