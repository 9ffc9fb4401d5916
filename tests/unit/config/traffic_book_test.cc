// The traffic book, its month files and the report that sums them: what is added is what is
// read back, the caps fold the least busy accounts, old days go, and a torn or damaged file
// gives up only its damaged records.
#include "config/traffic_book.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "config/traffic_file.h"
#include "config/traffic_report.h"
#include "platform/crc32.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

const int kDay = TrafficDay(2026, 12, 9);

class TrafficBookTest : public ::testing::Test {
 protected:
  void FlushOk(TrafficBook& book, int today) {
    std::string error;
    ASSERT_TRUE(book.Flush(today, &error)) << error;
  }
  std::string FileOf(const char* program, int day) {
    return TrafficFilePath(dir_, program, TrafficMonthOf(day));
  }
  const AccountTraffic* Find(const TrafficReport& r, TrafficKind kind, const std::string& name) {
    for (const AccountTraffic& a : r.accounts) {
      if (a.account.kind == kind && a.account.name == name) return &a;
    }
    return nullptr;
  }
  std::uint64_t UserTotal(int first, int last, const std::string& name) {
    TrafficReport r = ReadTrafficReport(dir_, first, last);
    const AccountTraffic* a = Find(r, TrafficKind::kUser, name);
    return a == nullptr ? 0 : a->bytes.Total();
  }

  testing::TestDir scratch_;
  const std::string dir_ = scratch_.path();
};

TEST(Crc32Test, MatchesTheStandardCheckValue) {
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
}

TEST_F(TrafficBookTest, ReportSumsAccountsDaysAndProxiesOfBothPrograms) {
  TrafficBook console(dir_, "console");
  TrafficBook service(dir_, "service");
  console.Add(kDay, kProtocolHttp, TrafficAccount::User("alice"), 100, 1000);
  console.Add(kDay, kProtocolSocks, TrafficAccount::User("alice"), 10, 20);
  console.Add(kDay - 1, kProtocolHttp, TrafficAccount::User("bob"), 5, 7);
  service.Add(kDay, kProtocolFtp, TrafficAccount::User("alice"), 1, 2);
  service.Add(kDay, kProtocolHttp, TrafficAccount::Guest(htonl(0x0A000001)), 3, 4);
  FlushOk(console, kDay);
  FlushOk(service, kDay);
  // A second flush appends to the same file; records of one day and account add up.
  console.Add(kDay, kProtocolHttp, TrafficAccount::User("alice"), 1000, 0);
  FlushOk(console, kDay);

  TrafficReport r = ReadTrafficReport(dir_, kDay - 1, kDay);
  ASSERT_EQ(r.accounts.size(), 3u);
  EXPECT_EQ(r.accounts[0].account, TrafficAccount::User("alice")) << "busiest first";
  EXPECT_EQ(r.accounts[0].bytes.up, 1111u);
  EXPECT_EQ(r.accounts[0].bytes.down, 1022u);
  const AccountTraffic* guest = Find(r, TrafficKind::kGuest, "10.0.0.1");
  ASSERT_NE(guest, nullptr);
  EXPECT_EQ(guest->bytes.Total(), 7u);
  ASSERT_EQ(r.days.size(), 2u);
  EXPECT_EQ(r.days[0].Total(), 12u);
  EXPECT_EQ(r.days[1].Total(), 1111u + 1022u + 7u);
  EXPECT_EQ(r.proxies[kProtocolHttp].Total(), 1100u + 12u + 1000u + 7u);
  EXPECT_EQ(r.proxies[kProtocolSocks].Total(), 30u);
  EXPECT_EQ(r.proxies[kProtocolFtp].Total(), 3u);
  // A range of one day holds that day only.
  EXPECT_EQ(UserTotal(kDay - 1, kDay - 1, "alice"), 0u);
  EXPECT_EQ(UserTotal(kDay - 1, kDay - 1, "bob"), 12u);
}

TEST_F(TrafficBookTest, ADayKeepsTheThousandBusiestGuestsOverBothProgramsAndSumsTheRest) {
  TrafficBook console(dir_, "console");
  TrafficBook service(dir_, "service");
  // Guest i moves i bytes; the two programs see different guests, 1,200 in all.
  std::uint64_t least = 0;
  for (std::uint32_t i = 1; i <= 1200; ++i) {
    (i % 2 == 0 ? console : service)
        .Add(kDay, kProtocolSocks, TrafficAccount::Guest(htonl(i)), i, 0);
    if (i <= 200) least += i;
  }
  FlushOk(console, kDay);
  FlushOk(service, kDay);
  TrafficReport r = ReadTrafficReport(dir_, kDay, kDay);
  std::size_t guests = 0;
  for (const AccountTraffic& a : r.accounts) guests += a.account.kind == TrafficKind::kGuest;
  EXPECT_EQ(guests, 1000u);
  EXPECT_NE(Find(r, TrafficKind::kGuest, "0.0.4.176"), nullptr) << "guest 1200 is the busiest";
  EXPECT_EQ(Find(r, TrafficKind::kGuest, "0.0.0.200"), nullptr) << "guest 200 is folded";
  const AccountTraffic* other = Find(r, TrafficKind::kOtherGuests, "");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->bytes.up, least);
  EXPECT_EQ(r.days[0].up, 1200u * 1201u / 2) << "folding loses no byte";
}

TEST(DayTrafficTest, CapsFoldTheLeastBusyIntoOtherOfTheirKind) {
  DayTraffic day(TrafficCaps{2, 2});
  for (int i = 1; i <= 9; ++i) {
    day.Add(TrafficAccount::User("u" + std::to_string(i)), kProtocolHttp, i, 0);
    day.Add(TrafficAccount::Guest(htonl(i)), kProtocolHttp, 0, i);
  }
  day.Trim();
  std::uint64_t other_users = 0, other_guests = 0;
  std::size_t named = 0;
  for (const auto& [account, bytes] : day.accounts()) {
    if (account.kind == TrafficKind::kOtherUsers) other_users = bytes.Sum().up;
    if (account.kind == TrafficKind::kOtherGuests) other_guests = bytes.Sum().down;
    if (account.kind == TrafficKind::kUser || account.kind == TrafficKind::kGuest) ++named;
  }
  EXPECT_EQ(named, 4u);
  EXPECT_EQ(day.accounts().count(TrafficAccount::User("u9")), 1u);
  EXPECT_EQ(day.accounts().count(TrafficAccount::User("u8")), 1u);
  EXPECT_EQ(other_users, 1u + 2 + 3 + 4 + 5 + 6 + 7);
  EXPECT_EQ(other_guests, 1u + 2 + 3 + 4 + 5 + 6 + 7);
}

TEST_F(TrafficBookTest, DaysOlderThanTheKeptFourHundredAreDropped) {
  const int first = TrafficDay(2025, 1, 31);  // the last day of its month
  TrafficBook book(dir_, "console");
  book.Add(first, kProtocolHttp, TrafficAccount::User("old"), 1, 1);
  book.Add(first + 40, kProtocolHttp, TrafficAccount::User("kept"), 1, 1);
  FlushOk(book, first + 40);
  ASSERT_TRUE(fs::exists(FileOf("console", first)));

  // Day `first` is 400 days before `today`: outside the kept days, and so is all of its month.
  const int today = first + kTrafficKeepDays;
  book.Add(today - kTrafficKeepDays, kProtocolHttp, TrafficAccount::User("late"), 1, 1);
  FlushOk(book, today);
  EXPECT_FALSE(fs::exists(FileOf("console", first))) << "a month wholly before the kept days";
  EXPECT_TRUE(fs::exists(FileOf("console", first + 40)));
  TrafficReport r = ReadTrafficReport(dir_, first - 10, today);
  EXPECT_EQ(r.firstDay, today - kTrafficKeepDays + 1) << "a longer range is cut";
  ASSERT_EQ(r.accounts.size(), 1u);
  EXPECT_EQ(r.accounts[0].account.name, "kept");
}

TEST_F(TrafficBookTest, CompactionKeepsTheSumsAndBoundsTheFile) {
  TrafficBook book(dir_, "service");
  std::uint64_t appended = 0;
  for (int flush = 0; flush < 60; ++flush) {
    for (int u = 0; u < 100; ++u) {
      book.Add(kDay, kProtocolHttp, TrafficAccount::User("user" + std::to_string(u)), 1, 2);
    }
    FlushOk(book, kDay);
    appended += 100 * EncodeTrafficRecord({kDay, TrafficAccount::User("user10"), {}}).size();
  }
  EXPECT_LT(fs::file_size(FileOf("service", kDay)), appended / 4);
  EXPECT_EQ(UserTotal(kDay, kDay, "user42"), 60u * 3);
  EXPECT_EQ(UserTotal(kDay, kDay, "user7"), 60u * 3);
}

// A crash in the middle of the last append, at every byte: the earlier day reads as it was,
// and the next flush cuts the torn bytes off and appends after the sound records.
TEST_F(TrafficBookTest, ATornLastRecordLeavesEarlierDaysAndTheNextAppendWorks) {
  const std::string path = FileOf("console", kDay);
  {
    TrafficBook book(dir_, "console");
    book.Add(kDay - 1, kProtocolHttp, TrafficAccount::User("earlier"), 11, 22);
    FlushOk(book, kDay);
  }
  const std::uintmax_t sound = fs::file_size(path);
  {
    TrafficBook book(dir_, "console");
    book.Add(kDay, kProtocolHttp, TrafficAccount::User("torn"), 5, 5);
    FlushOk(book, kDay);
  }
  const std::uintmax_t whole = fs::file_size(path);
  const std::string saved = path + ".whole";
  fs::copy_file(path, saved);
  for (std::uintmax_t cut = sound; cut < whole; ++cut) {
    fs::copy_file(saved, path, fs::copy_options::overwrite_existing);
    fs::resize_file(path, cut);
    SCOPED_TRACE("cut at " + std::to_string(cut));
    EXPECT_EQ(UserTotal(kDay - 1, kDay, "earlier"), 33u);
    EXPECT_EQ(UserTotal(kDay - 1, kDay, "torn"), 0u);

    TrafficBook book(dir_, "console");
    book.Add(kDay, kProtocolSocks, TrafficAccount::User("next"), 1, 2);
    FlushOk(book, kDay);
    EXPECT_EQ(UserTotal(kDay - 1, kDay, "earlier"), 33u);
    EXPECT_EQ(UserTotal(kDay - 1, kDay, "next"), 3u) << "appended after the sound records";
  }
}

// Junk after, between or instead of records never stops the reader, and records after a
// damaged stretch are found again.
TEST_F(TrafficBookTest, JunkInAFileIsPassedOver) {
  const std::string path = FileOf("console", kDay);
  const std::string good =
      EncodeTrafficRecord({kDay, TrafficAccount::User("good"), {}}) +
      EncodeTrafficRecord({kDay, TrafficAccount::User("good"), {{{}, {1, 1}}}});
  const std::string after =
      EncodeTrafficRecord({kDay, TrafficAccount::User("after"), {{{}, {0, 0}, {2, 2}}}});
  std::string magic_then_huge = good.substr(0, 4) + std::string("\xff\xff\xff\x7f", 4);
  std::mt19937 random(18);
  fs::create_directories(fs::path(path).parent_path());
  for (int round = 0; round < 200; ++round) {
    std::string junk(random() % 3000, '\0');
    for (char& c : junk) c = static_cast<char>(random());
    // Some rounds plant record starts in the junk, so the reader must reject them by length
    // or checksum.
    if (round % 3 == 0) junk.insert(junk.size() / 2, magic_then_huge);
    if (round % 5 == 0) junk.insert(0, good.substr(0, good.size() / 2));
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << good << junk << after << junk;
    }
    SCOPED_TRACE("round " + std::to_string(round));
    EXPECT_EQ(UserTotal(kDay, kDay, "good"), 2u);
    EXPECT_EQ(UserTotal(kDay, kDay, "after"), 4u);
  }
}

TEST(TrafficFileNameTest, OnlyProgramDashMonthDatFilesAreRead) {
  struct Case {
    const char* name;
    bool ok;
    int month;
  } cases[] = {
      {"console-202612.dat", true, 202612},
      {"service-202501.dat", true, 202501},
      {"console-202613.dat", false, 0},
      {"Console-202612.dat", false, 0},
      {"-202612.dat", false, 0},
      {"console-20261.dat", false, 0},
      {"console-202612.dat.tmp", false, 0},
      {"console-202612.dat.Ab3xYz", false, 0},
  };
  for (const Case& c : cases) {
    std::string program;
    int month = 0;
    EXPECT_EQ(ParseTrafficFileName(c.name, &program, &month), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(month, c.month) << c.name;
    }
  }
}

}  // namespace
}  // namespace tw
