#include "config/activity_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <thread>
#include <vector>

#include "config/service_log.h"
#include "config/settings.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

using testing::ReadFile;
using testing::WriteFile;
using testing::TestDir;

TEST(ActivityTextTest, SplitsAtTheLastColonAndTheFirstCommaAfterIt) {
  struct Case {
    const char* text;
    const char* description;
    const char* address;
    const char* user;
  } cases[] = {
      {"FTP files:21:10.0.0.5,bob", "FTP files:21", "10.0.0.5", "bob"},
      {"Pop3 mail.example.org:10.0.0.7", "Pop3 mail.example.org", "10.0.0.7", ""},
      {"http://h:8080/a,b:10.0.0.1,", "http://h:8080/a,b", "10.0.0.1", ""},
      {"Proxy Servers stopped.", "Proxy Servers stopped.", "", ""},
      {"Socks5 x:,user", "Socks5 x", ",user", ""},  // a comma right after the colon: no split
      {"a:b,c,d", "a", "b", "c,d"},
      {":", "", "", ""},
  };
  for (const Case& c : cases) {
    ActivityText p = SplitActivityText(c.text);
    EXPECT_EQ(p.description, c.description) << c.text;
    EXPECT_EQ(p.address, c.address) << c.text;
    EXPECT_EQ(p.user, c.user) << c.text;
  }
  EXPECT_EQ(SplitActivityText(std::string(10000, 'u')).description.size(), kActivityPartMax);
}

TEST(ActivityTextTest, AccessLogLinesAreExact) {
  LocalTime t = MakeLocalTime(2024, 3, 5, 14, 2, 9, 123);
  EXPECT_EQ(FormatAccessLogLine(SplitActivityText("FTP files:21:10.0.0.5,bob"), t),
            "10.0.0.5 - bob - [05/Mar/2024:14:02:09 - -] \"FTP files:21\" - - \"\" \"-\"");
  EXPECT_EQ(FormatAccessLogLine(SplitActivityText("Pop3 mail.example.org:10.0.0.7"), t),
            "10.0.0.7 -  - [05/Mar/2024:14:02:09 - -] \"Pop3 mail.example.org\" - - \"\" \"-\"");
  // A line break smuggled in by a client cannot start a forged line.
  EXPECT_EQ(FormatAccessLogLine(SplitActivityText("GET x\r\nforged:1.2.3.4,u"), t),
            "1.2.3.4 - u - [05/Mar/2024:14:02:09 - -] \"GET x\\x0d\\x0aforged\" - - \"\" \"-\"");
}

TEST(ActivityTextTest, ServiceLogLineHasDayMonthYearAndMilliseconds) {
  EXPECT_EQ(FormatServiceLogLine(MakeLocalTime(2024, 12, 1, 7, 8, 9, 5), "Proxy stopping..."),
            "01/12/2024 07:08:09.005 Proxy stopping...");
}

class ActivityLogTest : public ::testing::Test {
 protected:
  std::string DailyFile(int y, int m, int d) {
    char name[32];
    std::snprintf(name, sizeof name, "/log/%04d%02d%02d.txt", y, m, d);
    return dir_.path() + name;
  }
  TestDir dir_;
  ManualClock clock_{MakeLocalTime(2024, 3, 5, 23, 59, 0)};
};

TEST_F(ActivityLogTest, ConsoleRowsAndDailyFileWithSavelogOn) {
  ActivityLog log(ActivityLogMode::kConsole, dir_.path(), clock_);
  ASSERT_TRUE(log.Start()) << log.FileError();
  log.SetSavelog(true);
  log.HandlePosted(SplitActivityText("FTP files:21:10.0.0.5,bob"));
  log.LogActivity("Http Proxy Server started on port 808.");
  std::vector<ActivityRow> rows = log.RowsAfter(0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].user, "bob");
  EXPECT_EQ(rows[0].address, "10.0.0.5");
  EXPECT_EQ(rows[0].time, "2024-03-05 23:59:00");
  EXPECT_EQ(rows[0].message, "FTP files:21");
  EXPECT_EQ(rows[1].user, "");
  EXPECT_EQ(rows[1].message, "Http Proxy Server started on port 808.");
  EXPECT_EQ(log.RowsAfter(rows[0].seq).size(), 1u);
  EXPECT_EQ(ReadFile(DailyFile(2024, 3, 5)),
            "10.0.0.5 - bob - [05/Mar/2024:23:59:00 - -] \"FTP files:21\" - - \"\" \"-\"\n"
            " -  - [05/Mar/2024:23:59:00 - -] \"Http Proxy Server started on port 808.\" - - "
            "\"\" \"-\"\n");
}

TEST_F(ActivityLogTest, FirstLineOfANewDayEmptiesTheListAndStartsTheNewFile) {
  ActivityLog log(ActivityLogMode::kConsole, dir_.path(), clock_);
  ASSERT_TRUE(log.Start());
  log.SetSavelog(true);
  log.LogActivity("Pop3 a:10.0.0.1");
  log.LogActivity("Pop3 b:10.0.0.2");
  clock_.Set(MakeLocalTime(2024, 3, 6, 0, 0, 1));
  log.LogActivity("Pop3 c:10.0.0.3");
  std::vector<ActivityRow> rows = log.RowsAfter(0);
  ASSERT_EQ(rows.size(), 1u);  // the new day's first line stays visible
  EXPECT_EQ(rows[0].message, "Pop3 c");
  EXPECT_EQ(log.RememberedDate(), "2024-03-06");
  EXPECT_EQ(log.File().Path(), DailyFile(2024, 3, 6));
  EXPECT_EQ(ReadFile(DailyFile(2024, 3, 6)),
            "10.0.0.3 -  - [06/Mar/2024:00:00:01 - -] \"Pop3 c\" - - \"\" \"-\"\n");
  EXPECT_EQ(ReadFile(DailyFile(2024, 3, 5)).find("Pop3 c"), std::string::npos);
}

TEST_F(ActivityLogTest, SavelogOffWritesNoLineAndNeverClearsTheList) {
  ActivityLog log(ActivityLogMode::kConsole, dir_.path(), clock_);
  ASSERT_TRUE(log.Start());  // the daily file is opened whatever Savelog says
  log.LogActivity("Pop3 a:10.0.0.1");
  clock_.Set(MakeLocalTime(2024, 3, 6, 9, 0, 0));
  log.LogActivity("Pop3 b:10.0.0.2");
  EXPECT_EQ(log.RowCount(), 2u);
  EXPECT_EQ(ReadFile(DailyFile(2024, 3, 5)), "");
  struct stat st;
  EXPECT_NE(::stat(DailyFile(2024, 3, 6).c_str(), &st), 0);
  log.SetSavelog(true);  // turned on later: the first saved line starts the right day
  log.LogActivity("Pop3 c:10.0.0.3");
  EXPECT_EQ(log.RowCount(), 1u);
  EXPECT_NE(ReadFile(DailyFile(2024, 3, 6)).find("Pop3 c"), std::string::npos);
}

TEST_F(ActivityLogTest, UnopenableDailyFileReportsTheTextAndKeepsTheList) {
  testing::WriteFile(dir_.File("log"), "a file where the directory should be");
  ActivityLog log(ActivityLogMode::kConsole, dir_.path(), clock_);
  EXPECT_FALSE(log.Start());
  EXPECT_EQ(log.FileError(), "Cannot create or open file: '" + DailyFile(2024, 3, 5) + "'");
  log.SetSavelog(true);
  log.LogActivity("Pop3 a:10.0.0.1");
  EXPECT_EQ(log.RowCount(), 1u);
}

TEST_F(ActivityLogTest, ServiceModeKeepsNoRowsAndWritesTheDailyFile) {
  ActivityLog log(ActivityLogMode::kService, dir_.path(), clock_);
  ASSERT_TRUE(log.Start());
  log.SetSavelog(true);
  log.LogActivity("SMTP mx:10.0.0.9");
  EXPECT_EQ(log.RowCount(), 0u);
  EXPECT_EQ(ReadFile(DailyFile(2024, 3, 5)),
            "10.0.0.9 -  - [05/Mar/2024:23:59:00 - -] \"SMTP mx\" - - \"\" \"-\"\n");
  // A service that runs past midnight writes the next day's lines into the next day's file.
  clock_.Set(MakeLocalTime(2024, 3, 6, 0, 1, 0));
  log.LogActivity("SMTP mx2:10.0.0.9");
  EXPECT_NE(ReadFile(DailyFile(2024, 3, 6)).find("SMTP mx2"), std::string::npos);
  EXPECT_EQ(ReadFile(DailyFile(2024, 3, 5)).find("SMTP mx2"), std::string::npos);
}

// Posters build no line that nothing would keep: only the service with Savelog off hands out a
// sink without a queue; the console always keeps its list.
TEST_F(ActivityLogTest, ProxiesPostOnlyWhereALineIsKept) {
  ActivityLog service(ActivityLogMode::kService, dir_.path(), clock_);
  EXPECT_FALSE(service.Sink().Wanted());
  service.Sink().PostText("Socks5 1.2.3.4:10.0.0.1");
  EXPECT_EQ(service.Queue().Pending(), 0u);
  service.SetSavelog(true);
  EXPECT_TRUE(service.Sink().Wanted());
  ActivityLog console(ActivityLogMode::kConsole, dir_.path(), clock_);
  ActivitySink sink = console.Sink();
  EXPECT_TRUE(sink.Wanted());
  sink.PostText("Socks5 1.2.3.4:10.0.0.1");
  EXPECT_EQ(console.DrainPosted(), 1u);
  EXPECT_EQ(console.RowCount(), 1u);
}

TEST_F(ActivityLogTest, WorkersPostAndOnlyTheOwnerWrites) {
  ActivityLog log(ActivityLogMode::kConsole, dir_.path(), clock_);
  ASSERT_TRUE(log.Start());
  log.SetSavelog(true);
  ActivitySink sink(&log.Queue());
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([t, sink] {
      for (int i = 0; i < kEach; ++i) {
        sink.PostText("Socks4 1.2.3." + std::to_string(i) + ":10.0.0." + std::to_string(t));
      }
    });
  }
  std::size_t handled = 0;
  while (handled < kThreads * kEach) {
    log.Queue().WaitFor(std::chrono::milliseconds(100));
    handled += log.DrainPosted();
  }
  for (auto& w : workers) w.join();
  ActivitySink().PostText("dropped:1.1.1.1");  // no queue: nothing happens
  EXPECT_EQ(log.RowCount(), static_cast<std::size_t>(kThreads * kEach));
  std::string file = ReadFile(DailyFile(2024, 3, 5));
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), kThreads * kEach);
}

// A clock that moves on a minute at each reading, from 2024-03-05 23:58.
class MinuteClock final : public Clock {
 public:
  LocalTime Now() const override {
    int minutes = 23 * 60 + 58 + readings_++;
    return MakeLocalTime(2024, 3, 5 + minutes / 1440, minutes / 60 % 24, minutes % 60);
  }

 private:
  mutable int readings_ = 0;
};

// The lines of one drain go to the file together, yet each still lands in its own day's file,
// in order, however many there are.
TEST_F(ActivityLogTest, ADrainsLinesReachTheirDaysFilesInOrder) {
  MinuteClock clock;
  ActivityLog log(ActivityLogMode::kService, dir_.path(), clock);
  ASSERT_TRUE(log.Start());
  log.SetSavelog(true);
  constexpr int kLines = 2000;  // about 200 KiB: more than one write's worth
  ActivitySink sink = log.Sink();
  for (int i = 0; i < kLines; ++i) sink.PostText("Socks5 h" + std::to_string(i) + ":10.0.0.1");
  EXPECT_EQ(log.DrainPosted(), static_cast<std::size_t>(kLines));
  int next = 0;
  for (int day = 5; day <= 7; ++day) {
    std::istringstream file(ReadFile(DailyFile(2024, 3, day)));
    char date[16];
    std::snprintf(date, sizeof date, "[%02d/Mar/2024", day);
    for (std::string line; std::getline(file, line); ++next) {
      EXPECT_NE(line.find("\"Socks5 h" + std::to_string(next) + "\""), std::string::npos) << line;
      EXPECT_NE(line.find(date), std::string::npos) << line;
    }
  }
  EXPECT_EQ(next, kLines);
}

// The daily files older than [Server] log_days go when the log starts and at each new day;
// files that are not daily files stay, whatever their name looks like.
TEST_F(ActivityLogTest, DailyFilesOlderThanLogDaysAreRemovedAtStartAndAtANewDay) {
  ASSERT_TRUE(Settings::InDataDir(dir_.path()).SetInt(setting::kLogDays, 3, nullptr));
  ::mkdir((dir_.path() + "/log").c_str(), 0700);
  struct Case {
    const char* name;
    bool kept;  // after the start on 2024-03-05 (files of 03-02 and before go)
  } cases[] = {
      {"20240305.txt", true},  {"20240303.txt", true},  {"20240302.txt", false},
      {"20231231.txt", false}, {"2024030.txt", true},   {"20240301.txt.bak", true},
      {"notes.txt", true},     {"20241399.txt", true},  {"20240304.txt", true},
  };
  for (const Case& c : cases) WriteFile(dir_.path() + "/log/" + c.name, "x\n");
  ActivityLog log(ActivityLogMode::kService, dir_.path(), clock_);
  ASSERT_TRUE(log.Start());
  struct stat st;
  for (const Case& c : cases) {
    EXPECT_EQ(::stat((dir_.path() + "/log/" + c.name).c_str(), &st) == 0, c.kept) << c.name;
  }
  log.SetSavelog(true);
  clock_.Set(MakeLocalTime(2024, 3, 7, 0, 0, 1));
  log.LogActivity("Pop3 a:10.0.0.1");
  EXPECT_NE(::stat(DailyFile(2024, 3, 4).c_str(), &st), 0) << "the new day removes 03-04";
  EXPECT_EQ(::stat(DailyFile(2024, 3, 5).c_str(), &st), 0);
}

TEST(ServiceLogTest, FileIsRotatedAtItsSizeAndAFewOldOnesAreKept) {
  TestDir dir;
  ManualClock clock{MakeLocalTime(2024, 3, 5, 1, 2, 3)};
  const std::string path = dir.path() + "/kestrane.log";
  ServiceLogger logger(clock, /*rotateBytes=*/100);
  ASSERT_TRUE(logger.Open(path));
  for (int i = 0; i < 40; ++i) logger.Log(3, "line " + std::to_string(i));  // 31 bytes each
  struct stat st;
  for (int i = 0; i <= kServiceLogsKept; ++i) {
    std::string name = i == 0 ? path : path + "." + std::to_string(i);
    ASSERT_EQ(::stat(name.c_str(), &st), 0) << name;
    EXPECT_LE(st.st_size, 100) << name;
  }
  EXPECT_NE(::stat((path + "." + std::to_string(kServiceLogsKept + 1)).c_str(), &st), 0);
  EXPECT_NE(ReadFile(path).find("line 39\n"), std::string::npos) << "the newest line is in the file";
  EXPECT_NE(ReadFile(path + ".1").find("line 36\n"), std::string::npos) << ReadFile(path + ".1");
}

TEST(ServiceLogTest, EntriesKeepTheirTimeAndWaitForTheOwnerWhileAttached) {
  TestDir dir;
  ManualClock clock(MakeLocalTime(2024, 1, 2, 3, 4, 5, 6));
  ServiceLogger logger(clock);
  ASSERT_TRUE(logger.Open(dir.File("kestrane.log")));
  logger.Printf(0, "%s stopping...", "Tarnwick Proxy Service");  // no owner yet: written at once
  EXPECT_EQ(ReadFile(dir.File("kestrane.log")),
            "02/01/2024 03:04:05.006 Tarnwick Proxy Service stopping...\n");
  logger.SetOwnerAttached(true);
  std::thread worker([&logger] { logger.Printf(1, "from %d", 7); });
  worker.join();
  clock.Set(MakeLocalTime(2024, 1, 2, 9, 0, 0));
  EXPECT_EQ(ReadFile(dir.File("kestrane.log")).find("from 7"), std::string::npos);
  EXPECT_EQ(logger.Drain(), 1u);
  EXPECT_NE(ReadFile(dir.File("kestrane.log")).find("02/01/2024 03:04:05.006 from 7\n"),
            std::string::npos);
}

TEST(ServiceLogTest, NoFileMeansNoOutputAndNoCrash) {
  ManualClock clock(MakeLocalTime(2024, 1, 2, 3, 4, 5));
  ServiceLogger logger(clock);
  EXPECT_FALSE(logger.Open("/nonexistent-dir/kestrane.log"));
  EXPECT_EQ(logger.ErrorText(), "Cannot create or open file: '/nonexistent-dir/kestrane.log'");
  logger.Log(2, "lost quietly");
  EXPECT_EQ(logger.Drain(), 0u);
}

TEST_F(ActivityLogTest, ListKeepsTheNewestRowsWithinItsCountAndByteBudget) {
  ActivityLog log(ActivityLogMode::kConsole, dir_.path(), clock_);
  log.SetRowLimits(3, 1 << 20);
  for (int i = 1; i <= 5; ++i) log.LogActivity("line " + std::to_string(i));
  std::vector<ActivityRow> rows = log.RowsAfter(0);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows.front().message, "line 3") << "the oldest rows go first";
  EXPECT_EQ(rows.back().seq, 5u) << "sequence numbers are never reused";
  EXPECT_EQ(log.RowsDropped(), 2u);

  // The byte budget: a row costs its texts ("2024-03-05 23:59:00" is 19 bytes).
  log.SetRowLimits(100, 2 * (19 + 6) + 5);
  EXPECT_EQ(log.RowCount(), 2u) << "shrinking the budget trims at once";
  log.LogActivity(std::string(5000, 'x'));
  EXPECT_EQ(log.RowCount(), 1u) << "a row larger than the budget still shows alone";
}

}  // namespace
}  // namespace tw
