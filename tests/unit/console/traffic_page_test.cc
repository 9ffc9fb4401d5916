// The Traffic page and the User Account page's traffic columns through their routes: what the
// console's sink counted is shown at once (the route flushes first), with the service's file
// added, guests and "other" rows labelled as such.
#include "console/traffic_page.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "config/account_tables.h"
#include "config/installation.h"
#include "config/traffic_book.h"
#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/page_registry.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

using testing::TestDir;

class TrafficPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(InstallMissingDataFiles(dir_.path(), &error)) << error;
    owner_ = std::make_unique<ConsoleOwner>(dir_.path(), clock_);
    RegisterConsoleRoutes(router_, *owner_);
  }
  nlohmann::json Get(const char* path, std::map<std::string, std::string> query = {}) {
    ApiReply reply = router_.Dispatch({"GET", path, nullptr, std::move(query)});
    EXPECT_EQ(reply.status, 200) << reply.body.dump();
    return reply.body;
  }

  TestDir dir_;
  ManualClock clock_{MakeLocalTime(2024, 3, 5, 10, 0, 0)};
  std::unique_ptr<ConsoleOwner> owner_;
  ApiRouter router_;
};

TEST_F(TrafficPageTest, MonthRowsAndChartSumTheConsoleAndTheServiceFiles) {
  const int today = TrafficDay(2024, 3, 5);
  owner_->traffic().ConnectionEnded(kProtocolHttp, "alice", 0, 100, 900);
  owner_->traffic().ConnectionEnded(kProtocolSocks, "", htonl(0xC0A80007), 5, 5);
  TrafficBook service(dir_.path(), "service");
  service.Add(today - 5, kProtocolFtp, TrafficAccount::User("alice"), 1000, 0);  // February
  service.Add(today, kProtocolFtp, TrafficAccount{TrafficKind::kOtherGuests, ""}, 1, 1);
  std::string error;
  ASSERT_TRUE(service.Flush(today, &error)) << error;

  nlohmann::json march = Get("/api/traffic");
  EXPECT_EQ(march["month"], "2024-03");
  ASSERT_EQ(march["rows"].size(), 3u);
  EXPECT_EQ(march["rows"][0]["account"], "alice");
  EXPECT_EQ(march["rows"][0]["total"], 1000u);
  EXPECT_EQ(march["rows"][1]["account"], "Guest 192.168.0.7");
  EXPECT_EQ(march["rows"][1]["kind"], "guest");
  EXPECT_EQ(march["rows"][2]["account"], "Other guests");
  EXPECT_EQ(march["total"]["up"], 106u);
  ASSERT_EQ(march["days"].size(), static_cast<std::size_t>(kTrafficChartDays));
  EXPECT_EQ(march["days"].back()["date"], "2024-03-05");
  EXPECT_EQ(march["days"].back()["down"], 906u);
  EXPECT_EQ(march["days"][kTrafficChartDays - 6]["date"], "2024-02-29");
  EXPECT_EQ(march["days"][kTrafficChartDays - 6]["up"], 1000u);

  nlohmann::json february = Get("/api/traffic", {{"month", "2024-02"}});
  ASSERT_EQ(february["rows"].size(), 1u);
  EXPECT_EQ(february["rows"][0]["up"], 1000u);
  for (const char* bad : {"2024-13", "2024-2", "24-02", "2024/02", "1969-12", "2024-02x"}) {
    EXPECT_EQ(router_.Dispatch({"GET", "/api/traffic", nullptr, {{"month", bad}}}).status, 400)
        << bad;
  }
}

TEST_F(TrafficPageTest, UserAccountRowsShowTodayAndThisMonth) {
  UserRecord alice;
  alice.userid = "alice";
  std::string error;
  ASSERT_TRUE(UserTable(dir_.path()).Add(&alice, &error)) << error;
  TrafficBook service(dir_.path(), "service");
  service.Add(TrafficDay(2024, 3, 1), kProtocolHttp, TrafficAccount::User("alice"), 40, 60);
  service.Add(TrafficDay(2024, 2, 29), kProtocolHttp, TrafficAccount::User("alice"), 1, 1);
  ASSERT_TRUE(service.Flush(TrafficDay(2024, 3, 5), &error)) << error;
  owner_->traffic().ConnectionEnded(kProtocolHttp, "alice", 0, 3, 4);

  nlohmann::json rows = Get("/api/user-account")["rows"];
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["today"], 7u);
  EXPECT_EQ(rows[0]["month"], 107u);
}

}  // namespace
}  // namespace tw
