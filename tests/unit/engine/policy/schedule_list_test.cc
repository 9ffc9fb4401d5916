#include "engine/policy/schedule_list.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

LocalTime At(int hour, int minute) {
  return MakeLocalTime(2024, 3, 4, hour, minute);
}  // Monday

TEST(DayTextTest, WindowsAreComparedAsTextsWithBothEndsIncluded) {
  struct Case {
    const char* day;
    int hour, minute;
    bool allowed;
  } cases[] = {
      {"08:00-17:00", 17, 0, true},
      {"08:00-17:00", 17, 1, false},
      {"08:00-17:00", 8, 0, true},
      {"08:00-17:00", 7, 59, false},
      {"", 3, 0, true},  // an empty day allows all day
      {"22:00-24:00", 23, 59, true},
      {"22:00-24:00", 21, 59, false},
      {"08:00-12:00+13:00-17:30", 12, 30, false},
      {"08:00-12:00+13:00-17:30", 13, 0, true},
      {"08:00-12:00+13:00-17:30", 17, 30, true},
      {"08:00-12:00++13:00-17:30", 14, 0, true},  // empty parts are skipped
      {"+08:00-12:00", 9, 0, true},               // a leading "+" is no split: "+08:00" sorts first
      {"+", 9, 0, false},
      {"08:00", 8, 0, false},       // no "-": no end, nothing passes
      {"8:00-17:00", 9, 0, false},  // not zero-padded: "8:00" sorts after "09:00"
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DayTextAllows(c.day, At(c.hour, c.minute)), c.allowed)
        << "'" << c.day << "' at " << c.hour << ":" << c.minute;
  }
}

TEST(ScheduleListTest, TodaysTextDecidesAndIdsNameRecordsNotPositions) {
  ScheduleRecord a;
  a.id = 2;
  a.monday = "08:00-09:00";
  a.sunday = "";
  ScheduleRecord b;
  b.id = 5;
  b.monday = "20:00-21:00";
  ScheduleList list({a, b});
  ASSERT_NE(list.Find(5), nullptr);
  EXPECT_EQ(list.Find(5)->monday, "20:00-21:00");
  EXPECT_EQ(list.Find(1), nullptr);  // a deleted id does not fall onto the first entry
  EXPECT_TRUE(ScheduleAllows(a, At(8, 30)));
  EXPECT_FALSE(ScheduleAllows(a, At(10, 0)));
  EXPECT_TRUE(ScheduleAllows(a, MakeLocalTime(2024, 3, 3, 10, 0)));  // Sunday: empty text
  std::vector<ScheduleRecord> many(150);
  EXPECT_EQ(ScheduleList(many).size(), kMaxSchedules);
}

}  // namespace
}  // namespace tw
