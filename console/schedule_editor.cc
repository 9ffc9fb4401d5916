#include "console/schedule_editor.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "config/account_tables.h"
#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/json_fields.h"
#include "console/rule_set_routes.h"
#include "engine/policy/schedule_list.h"

namespace tw {

namespace {

constexpr const char* kDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};

std::string* DayField(ScheduleRecord* r, int day) {
  std::string* fields[7] = {&r->sunday,   &r->monday, &r->tuesday, &r->wednesday,
                            &r->thursday, &r->friday, &r->saturday};
  return fields[day];
}

// Two digits as a number, or -1.
int TwoDigits(std::string_view t) {
  if (t.size() != 2 || t[0] < '0' || t[0] > '9' || t[1] < '0' || t[1] > '9') return -1;
  return (t[0] - '0') * 10 + (t[1] - '0');
}

bool IsTime(std::string_view t) {
  if (t.size() != 5 || t[2] != ':') return false;
  int hours = TwoDigits(t.substr(0, 2));
  int minutes = TwoDigits(t.substr(3, 2));
  return hours >= 0 && hours <= 24 && minutes >= 0 && minutes <= 59;
}

bool IsTimeChoice(std::string_view t) {
  return IsTime(t) && t.substr(3) == "00";
}

}  // namespace

std::vector<std::string> TimeChoices() {
  std::vector<std::string> out;
  for (int hour = 0; hour <= 24; ++hour) {
    out.push_back((hour < 10 ? "0" : "") + std::to_string(hour) + ":00");
  }
  return out;
}

std::string TimeRangeOf(std::string_view start, std::string_view end) {
  if (end < start) std::swap(start, end);
  return std::string(start) + "-" + std::string(end);
}

std::string MergeTimeRange(std::string_view day, std::string_view range) {
  if (day.find(range) != std::string_view::npos) return std::string(day);
  if (day.empty()) return std::string(range);
  return std::string(day) + "+" + std::string(range);
}

bool IsDayText(std::string_view day) {
  if (day.size() > static_cast<std::size_t>(kDayTextWidth)) return false;
  if (day.empty()) return true;
  std::size_t pos = 0;
  while (true) {
    std::size_t plus = day.find('+', pos);
    std::string_view window = day.substr(pos, plus == std::string_view::npos ? plus : plus - pos);
    if (window.size() != 11 || window[5] != '-' || !IsTime(window.substr(0, 5)) ||
        !IsTime(window.substr(6))) {
      return false;
    }
    if (plus == std::string_view::npos) return true;
    pos = plus + 1;
  }
}

ScheduleValues ScheduleValuesOf(const ScheduleRecord& r) {
  ScheduleValues v;
  v.name = r.name;
  for (int day = 0; day < 7; ++day) v.days[day] = r.Day(day);
  for (int p = 1; p <= 5; ++p) v.proxies[p - 1] = r.Server(p) == 1;
  return v;
}

PageResult SaveSchedule(const std::string& data_dir, const ScheduleValues& values,
                        std::int32_t* id) {
  for (int day = 0; day < 7; ++day) {
    if (!IsDayText(values.days[day])) {
      return PageResult::Refused(std::string(kDayNames[day]) +
                                 ": times are written as 08:00-17:00, several joined by \"+\" "
                                 "(at most " +
                                 std::to_string(kDayTextWidth) + " characters).");
    }
  }
  ScheduleTable table(data_dir);
  ScheduleRecord record;
  if (*id != 0 && !table.FindById(*id, &record)) {
    return PageResult::Refused("The schedule no longer exists.");
  }
  record.id = *id;
  record.name = values.name;
  for (int day = 0; day < 7; ++day) *DayField(&record, day) = values.days[day];
  for (int p = 1; p <= 5; ++p) record.SetServer(p, values.proxies[p - 1] ? 1 : 0);
  PageResult result = SaveRuleSet(table, "schedule", &record);
  if (result.ok) *id = record.id;
  return result;
}

void to_json(nlohmann::json& j, const ScheduleValues& v) {
  j = nlohmann::json{{"name", v.name}, {"days", v.days}, {"proxies", v.proxies}};
}

void from_json(const nlohmann::json& j, ScheduleValues& v) {
  v.name = TextField(j, "name");
  const nlohmann::json& days = j.at("days");
  const nlohmann::json& proxies = j.at("proxies");
  if (!days.is_array() || days.size() != 7 || !proxies.is_array() || proxies.size() != 5) {
    throw std::out_of_range("days takes 7 texts and proxies 5 booleans");
  }
  for (int day = 0; day < 7; ++day) v.days[day] = days[day].get<std::string>();
  for (int p = 0; p < 5; ++p) v.proxies[p] = proxies[p].get<bool>();
}

void RegisterScheduleEditor(ApiRouter& router, ConsoleOwner& owner) {
  RuleSetEditorSpec spec;
  spec.base = "/api/schedules";
  spec.what = "schedule";
  spec.plural = "schedules";
  spec.limit = kMaxSchedules;
  spec.list = [](const std::string& dir) { return ListScheduleNames(dir); };
  spec.load = [](const std::string& dir, std::int32_t id, nlohmann::json* values) {
    ScheduleRecord r;
    if (!ScheduleTable(dir).FindById(id, &r)) return false;
    *values = ScheduleValuesOf(r);
    return true;
  };
  spec.save = [](const std::string& dir, const nlohmann::json& values, std::int32_t* id) {
    return SaveSchedule(dir, values.get<ScheduleValues>(), id);
  };
  spec.erase = [](const std::string& dir, std::int32_t id) {
    return DeleteRuleSet(ScheduleTable(dir), id);
  };
  spec.use = CountScheduleUse;
  RegisterRuleSetEditor(router, owner, std::move(spec));

  router.Get("/api/schedules/times", "The Time dialog's 25 choices, \"00:00\" to \"24:00\".",
             [](const ApiRequest&) {
               return ApiReply::Json({{"times", TimeChoices()}});
             });
  router.Post(
      "/api/schedules/add-range",
      "The Time dialog's OK: {\"day\": text, \"start\": \"HH:00\", \"end\": \"HH:00\"} "
      "gives the day text with the range added.",
      [](const ApiRequest& request) {
        std::string day, start, end;
        if (!BodyString(request.body, "day", &day) || !BodyString(request.body, "start", &start) ||
            !BodyString(request.body, "end", &end) || !IsTimeChoice(start) || !IsTimeChoice(end)) {
          return ApiReply::Error(400, "day, start and end (00:00..24:00) are required");
        }
        std::string merged = MergeTimeRange(day, TimeRangeOf(start, end));
        if (merged.size() > static_cast<std::size_t>(kDayTextWidth)) {
          return ApiReply::Error(
              400, "A day holds at most " + std::to_string(kDayTextWidth) + " characters.");
        }
        return ApiReply::Json({{"day", merged}});
      });
}

}  // namespace tw
