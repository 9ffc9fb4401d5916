#include "engine/policy/schedule_list.h"

#include "config/account_tables.h"

namespace tw {
namespace {

// One window "start-end", compared as texts; without "-" the end is empty and nothing passes.
bool WindowAllows(std::string_view window, std::string_view now) {
  std::size_t dash = window.find('-');
  std::string_view start = window.substr(0, dash);
  std::string_view end =
      dash == std::string_view::npos ? std::string_view() : window.substr(dash + 1);
  return start <= now && now <= end;
}

void CutDay(std::string* day) {
  if (day->size() > static_cast<std::size_t>(kDayTextWidth)) day->resize(kDayTextWidth);
}

}  // namespace

ScheduleList::ScheduleList(std::vector<ScheduleRecord> entries) : entries_(std::move(entries)) {
  if (entries_.size() > kMaxSchedules) entries_.resize(kMaxSchedules);
}

bool ScheduleList::Load(std::string_view data_dir) {
  std::vector<ScheduleRecord> loaded;
  bool ok = ScheduleTable(data_dir).List(&loaded, nullptr, 0, kMaxSchedules);
  for (ScheduleRecord& s : loaded) {
    for (std::string* d :
         {&s.sunday, &s.monday, &s.tuesday, &s.wednesday, &s.thursday, &s.friday, &s.saturday}) {
      CutDay(d);
    }
  }
  entries_ = std::move(loaded);
  return ok;
}

const ScheduleRecord* ScheduleList::Find(std::int32_t schedule_id) const {
  for (const ScheduleRecord& s : entries_) {
    if (s.id == schedule_id) return &s;
  }
  return nullptr;
}

bool DayTextAllows(std::string_view day_text, const LocalTime& now) {
  std::string hm = FormatHourMinute(now);
  std::size_t plus = day_text.find('+');
  if (plus == std::string_view::npos || plus == 0) {
    if (day_text.empty()) return true;
    return WindowAllows(day_text, hm);
  }
  std::size_t pos = 0;
  while (pos <= day_text.size()) {
    std::size_t next = day_text.find('+', pos);
    std::size_t end = next == std::string_view::npos ? day_text.size() : next;
    std::string_view part = day_text.substr(pos, end - pos);
    if (!part.empty() && WindowAllows(part, hm)) return true;
    if (next == std::string_view::npos) break;
    pos = next + 1;
  }
  return false;
}

bool ScheduleAllows(const ScheduleRecord& schedule, const LocalTime& now) {
  return DayTextAllows(schedule.Day(now.weekday), now);
}

}  // namespace tw
