#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

#include <cstdio>

namespace tw {
namespace {

// Day of week by Sakamoto's method; 0 = Sunday.
int WeekdayOf(int year, int month, int day) {
  static const int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 1 || month > 12) return 0;
  if (month < 3) year -= 1;
  int w = (year + year / 4 - year / 100 + year / 400 + kOffsets[month - 1] + day) % 7;
  return w < 0 ? w + 7 : w;
}

}  // namespace

LocalTime SystemClock::Now() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  time_t secs = ts.tv_sec;
  localtime_r(&secs, &parts);
  LocalTime t;
  t.year = parts.tm_year + 1900;
  t.month = parts.tm_mon + 1;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
  t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  t.weekday = parts.tm_wday;
  return t;
}

const SystemClock& SystemClock::Instance() {
  static const SystemClock clock;
  return clock;
}

LocalTime ManualClock::Now() const {
  MutexLock lock(mu_);
  return now_;
}

void ManualClock::Set(const LocalTime& t) {
  MutexLock lock(mu_);
  now_ = t;
}

LocalTime MakeLocalTime(int year, int month, int day, int hour, int minute, int second,
                        int millisecond) {
  LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  t.millisecond = millisecond;
  t.weekday = WeekdayOf(year, month, day);
  return t;
}

std::string FormatDate(const LocalTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
  return buf;
}

std::string FormatDateTime(const LocalTime& t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return buf;
}

std::string FormatHourMinute(const LocalTime& t) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d", t.hour, t.minute);
  return buf;
}

const char* MonthAbbreviation(int month) {
  static const char* const kNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (month < 1 || month > 12) return "???";
  return kNames[month - 1];
}

}  // namespace tw
