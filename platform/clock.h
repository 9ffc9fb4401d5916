// Local wall-clock time behind an interface, so that code which formats times or reacts to a
// change of day (activity log, schedule test) can be driven by a test clock.
// SystemClock is safe from any thread; ManualClock too (its time is guarded).
#pragma once

#include <string>

#include "platform/mutex.h"

namespace tw {

// A broken-down local time. month is 1..12, weekday 0 = Sunday .. 6 = Saturday.
struct LocalTime {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int weekday = 4;  // 1970-01-01 was a Thursday
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime Now() const = 0;
};

// The machine's local time (localtime_r of the real-time clock).
class SystemClock final : public Clock {
 public:
  LocalTime Now() const override;
  static const SystemClock& Instance();
};

// A clock that shows whatever it was last set to; for tests and simulations.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(const LocalTime& t) : now_(t) {}
  LocalTime Now() const override;
  void Set(const LocalTime& t);

 private:
  mutable Mutex mu_;
  LocalTime now_ GUARDED_BY(mu_);
};

// Builds a LocalTime from a calendar date and time; the weekday is computed.
LocalTime MakeLocalTime(int year, int month, int day, int hour, int minute, int second = 0,
                        int millisecond = 0);

// "%Y-%m-%d"
std::string FormatDate(const LocalTime& t);
// "%Y-%m-%d %H:%M:%S"
std::string FormatDateTime(const LocalTime& t);
// "%H:%M"
std::string FormatHourMinute(const LocalTime& t);
// English three-letter month abbreviation ("Jan" .. "Dec"); "???" outside 1..12.
const char* MonthAbbreviation(int month);

}  // namespace tw
