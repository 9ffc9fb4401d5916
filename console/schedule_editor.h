#pragma once
// The Schedule editor and its Time dialog: one schedule.sdb record at a time, chosen by name,
// with one time text per weekday and one box per proxy (HTTP, FTP, POP3, SMTP, SOCKS, stored
// as "server1".."server5"): the schedule restricts the logins of the proxies whose box is on,
// and a new schedule has all five on. The record's "type" is kept as it is.
//
// A day text is empty (all day) or windows "HH:MM-HH:MM" joined by "+", hours 00..24 and
// minutes 00..59, at most kDayTextWidth characters; the logins compare them as texts, so
// nothing else is saved. The Time dialog offers the 25 whole hours 00:00..24:00 and adds the
// chosen range to a day text (AddTimeRange).
// Routes under /api/schedules (rule_set_routes.h) and /api/schedules/add-range.
#include <array>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "config/account_records.h"
#include "console/page_result.h"

namespace tw {

class ApiRouter;
class ConsoleOwner;

struct ScheduleValues {
  std::string name;
  std::array<std::string, 7> days;  // "Sunday:" .. "Saturday:"
  std::array<bool, 5> proxies{};    // HTTP, FTP, POP3, SMTP, SOCKS
};

// "00:00", "01:00", .. "24:00".
std::vector<std::string> TimeChoices();

// The range of two chosen times, earlier first ("17:00", "08:00" -> "08:00-17:00").
std::string TimeRangeOf(std::string_view start, std::string_view end);

// The day text with range added: unchanged when it already holds the range, the range alone
// when it is empty, else the text, "+" and the range.
std::string MergeTimeRange(std::string_view day, std::string_view range);

// True for a day text the logins read as meant (see above).
bool IsDayText(std::string_view day);

ScheduleValues ScheduleValuesOf(const ScheduleRecord& record);

// Save: a new record when *id is 0 (then *id is its id), else the record *id, whose "type"
// is kept. A day text that is no day text is refused, naming the day.
PageResult SaveSchedule(const std::string& data_dir, const ScheduleValues& values,
                        std::int32_t* id);

// {"name", "days": [7 texts], "proxies": [5 booleans]}; reading throws on a wrong shape.
void to_json(nlohmann::json& j, const ScheduleValues& v);
void from_json(const nlohmann::json& j, ScheduleValues& v);

void RegisterScheduleEditor(ApiRouter& router, ConsoleOwner& owner);

}  // namespace tw
