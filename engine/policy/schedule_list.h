// The schedules in memory: read once from schedule.sdb before the proxies start, then only
// read by the workers (no lock needed). At most 100 entries, in table order.
// An account's "scheduleid" names the schedule record with that id (not a position in the
// list), so deleting one schedule never shifts another schedule onto an account.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/account_records.h"
#include "platform/clock.h"

namespace tw {

constexpr std::size_t kMaxSchedules = 100;

class ScheduleList {
 public:
  ScheduleList() = default;
  explicit ScheduleList(std::vector<ScheduleRecord> entries);

  // Replaces the list with the first kMaxSchedules records of "<data_dir>/schedule.sdb"
  // (day texts cut to 128 characters). A missing table leaves the list empty (false).
  bool Load(std::string_view data_dir);

  // The entry whose record id is schedule_id; nullptr when there is none.
  const ScheduleRecord* Find(std::int32_t schedule_id) const;
  std::size_t size() const { return entries_.size(); }

 private:
  std::vector<ScheduleRecord> entries_;
};

// The schedule test of one day text at one moment: the text's windows "HH:MM-HH:MM", joined by
// "+", are compared as texts with the time "%H:%M"; both ends are included. An empty text (or
// one that is a single window by having no "+" after its first character) is tested as one
// window, empty meaning all day.
bool DayTextAllows(std::string_view day_text, const LocalTime& now);

// True when the schedule lets a login through now: the day text of now's weekday allows it.
bool ScheduleAllows(const ScheduleRecord& schedule, const LocalTime& now);

}  // namespace tw
