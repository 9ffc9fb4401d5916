#include "config/account_tables.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "config/data_dir.h"
#include "config/installation.h"
#include "config/settings.h"
#include "tablestore/sdb_table.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

using testing::ReadFile;
using testing::TestDir;
using testing::WriteFile;

class AccountTablesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(InstallMissingDataFiles(dir_.path(), &error)) << error;
  }
  TestDir dir_;
};

TEST_F(AccountTablesTest, FreshInstallationHasTheFullSet) {
  for (const char* f :
       {kUserTableFile, kGroupTableFile, kServerTableFile, kFilterTableFile, kScheduleTableFile,
        kIpBlockPageFile, kWebFilterPageFile, kSchedulePageFile}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(dir_.File(f))) << f;
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir_.File("log")));
  std::vector<ServerRecord> servers;
  ASSERT_TRUE(ServerTable(dir_.path()).List(&servers));
  ASSERT_EQ(servers.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(servers[i].id, i + 1);
    EXPECT_EQ(servers[i].disable, 0);
  }
  GroupRecord guest;
  ASSERT_TRUE(GroupTable(dir_.path()).FindByName("[Guest]", &guest));
  EXPECT_EQ(guest.id, 1);
  std::vector<UserRecord> users;
  ASSERT_TRUE(UserTable(dir_.path()).List(&users));
  EXPECT_TRUE(users.empty());
  EXPECT_NE(ReadFile(dir_.File(kIpBlockPageFile)).find("<html>"), std::string::npos);
}

TEST(InstallationTest, ExistingFilesAreNeverOverwritten) {
  TestDir dir;
  WriteFile(dir.File(kUserTableFile), "not a table, but the operator's");
  WriteFile(dir.File(kIpBlockPageFile), "my page");
  std::vector<std::string> created;
  std::string error;
  ASSERT_TRUE(InstallMissingDataFiles(dir.path(), &error, &created)) << error;
  EXPECT_EQ(ReadFile(dir.File(kUserTableFile)), "not a table, but the operator's");
  EXPECT_EQ(ReadFile(dir.File(kIpBlockPageFile)), "my page");
  EXPECT_EQ(std::count(created.begin(), created.end(), kUserTableFile), 0);
  EXPECT_EQ(std::count(created.begin(), created.end(), kGroupTableFile), 1);
  created.clear();
  ASSERT_TRUE(InstallMissingDataFiles(dir.path(), &error, &created)) << error;
  EXPECT_TRUE(created.empty());
  // Nothing of the temporary names is left behind.
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(e.path().string().find(".new."), std::string::npos) << e.path();
  }
}

TEST(InstallationTest, TheMetricsTokenIsMadeOnceAndNeverReplaced) {
  TestDir dir;
  std::string error;
  ASSERT_TRUE(InstallMissingDataFiles(dir.path(), &error)) << error;
  Settings settings = Settings::InDataDir(dir.path());
  std::string token = settings.Text(setting::kMetricsToken);
  EXPECT_EQ(token.size(), 2u * kMetricsTokenBytes) << token;
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
  ASSERT_TRUE(InstallMissingDataFiles(dir.path(), &error)) << error;
  EXPECT_EQ(settings.Text(setting::kMetricsToken), token) << "a restart keeps it";
  ASSERT_TRUE(settings.SetText(setting::kMetricsToken, "the operator's own", &error)) << error;
  ASSERT_TRUE(InstallMissingDataFiles(dir.path(), &error)) << error;
  EXPECT_EQ(settings.Text(setting::kMetricsToken), "the operator's own");
}

TEST(InstallationTest, TwoProcessesInstallingAtOnceLeaveOneCompleteSet) {
  TestDir dir;
  pid_t child = ::fork();
  ASSERT_NE(child, -1);
  bool ok = InstallMissingDataFiles(dir.path(), nullptr);
  if (child == 0) ::_exit(ok ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::vector<ServerRecord> servers;
  ASSERT_TRUE(ServerTable(dir.path()).List(&servers));
  EXPECT_EQ(servers.size(), 5u);
  std::vector<GroupRecord> groups;
  ASSERT_TRUE(GroupTable(dir.path()).List(&groups));
  EXPECT_EQ(groups.size(), 1u);
}

TEST_F(AccountTablesTest, UserRecordsRoundTripAndAreFoundByNameAndId) {
  UserTable users(dir_.path());
  UserRecord bob;
  bob.userid = "bob";
  bob.passwd = "S3cret";
  bob.email = "bob@example.org";
  bob.name = "Bob B";
  bob.notes = "line one\r\nline two";
  bob.group = 1;
  bob.enable = 1;
  bob.rules.download_limit = 1;
  bob.rules.download_speed = 64;
  bob.rules.ip = 1;
  bob.rules.iprange = "10.0.0.1-10.0.0.9";
  bob.rules.filter = 1;
  bob.rules.filterid = 3;
  bob.rules.schedule = 1;
  bob.rules.scheduleid = 2;
  bob.rules.server5 = 1;
  std::string error;
  ASSERT_TRUE(users.Add(&bob, &error)) << error;
  EXPECT_EQ(bob.id, 1);
  UserRecord alice;
  alice.userid = "alice";
  alice.passwd = std::string(kNameWidth, 'p');
  ASSERT_TRUE(users.Add(&alice, &error)) << error;
  EXPECT_EQ(alice.id, 2);

  UserRecord got;
  ASSERT_TRUE(users.FindByName("bob", &got));
  EXPECT_EQ(got.id, 1);
  EXPECT_EQ(got.passwd, "S3cret");
  EXPECT_EQ(got.email, "bob@example.org");
  EXPECT_EQ(got.notes, "line one\r\nline two");
  EXPECT_EQ(got.rules.iprange, "10.0.0.1-10.0.0.9");
  EXPECT_EQ(got.rules.download_speed, 64);
  EXPECT_EQ(got.rules.filterid, 3);
  EXPECT_EQ(got.rules.scheduleid, 2);
  EXPECT_EQ(got.rules.Server(5), 1);
  EXPECT_EQ(got.rules.Server(1), 0);
  EXPECT_FALSE(users.FindByName("Bob", &got));  // names are exact
  EXPECT_FALSE(users.FindByName(std::string_view("bob\0x", 5), &got));
  ASSERT_TRUE(users.FindById(2, &got));
  EXPECT_EQ(got.passwd, std::string(kNameWidth, 'p'));

  std::vector<UserRecord> by_name;
  ASSERT_TRUE(users.List(&by_name, &error, 1));
  ASSERT_EQ(by_name.size(), 2u);
  EXPECT_EQ(by_name[0].userid, "alice");

  got.passwd = "changed";
  got.rules.server1 = 1;
  ASSERT_TRUE(users.Update(got, &error)) << error;
  ASSERT_TRUE(users.FindByName("alice", &got));
  EXPECT_EQ(got.passwd, "changed");
  EXPECT_EQ(got.rules.server1, 1);
  EXPECT_EQ(got.id, 2);

  ASSERT_TRUE(users.Delete(1, &error)) << error;
  EXPECT_FALSE(users.FindByName("bob", &got));
  EXPECT_FALSE(users.Delete(1, &error));
}

TEST_F(AccountTablesTest, OverlongTextsAreRefusedNotCut) {
  UserTable users(dir_.path());
  UserRecord u;
  u.userid = "carol";
  u.passwd = std::string(kNameWidth + 1, 'p');
  std::string error;
  EXPECT_FALSE(users.Add(&u, &error));
  EXPECT_NE(error.find("passwd"), std::string::npos) << error;
  u.passwd = "ok";
  u.rules.iprange = std::string(kRuleWidth + 1, '1');
  EXPECT_FALSE(users.Add(&u, &error));
  std::vector<UserRecord> all;
  ASSERT_TRUE(users.List(&all));
  EXPECT_TRUE(all.empty());
}

TEST_F(AccountTablesTest, DuplicateUserNamesAreRefused) {
  UserTable users(dir_.path());
  UserRecord u;
  u.userid = "dave";
  std::string error;
  ASSERT_TRUE(users.Add(&u, &error)) << error;
  EXPECT_FALSE(users.Add(&u, &error));
}

TEST_F(AccountTablesTest, FilterAndScheduleRecordsRoundTrip) {
  FilterRecord f;
  f.name = "work";
  f.type = 1;
  f.usefile = 0;
  f.webaddresses = std::string(kSiteListWidth - 20, 'x') + ";*.example.org";
  std::string error;
  ASSERT_TRUE(FilterTable(dir_.path()).Add(&f, &error)) << error;
  FilterRecord gf;
  ASSERT_TRUE(FilterTable(dir_.path()).FindById(f.id, &gf));
  EXPECT_EQ(gf.webaddresses, f.webaddresses);
  EXPECT_EQ(gf.type, 1);

  ScheduleRecord s;
  s.name = "office";
  s.monday = "08:00-12:00+13:00-17:30";
  s.saturday = std::string(kDayTextWidth, '0');
  s.server2 = 1;
  ASSERT_TRUE(ScheduleTable(dir_.path()).Add(&s, &error)) << error;
  ScheduleRecord gs;
  ASSERT_TRUE(ScheduleTable(dir_.path()).FindById(s.id, &gs));
  EXPECT_EQ(gs.Day(1), "08:00-12:00+13:00-17:30");
  EXPECT_EQ(gs.Day(6).size(), static_cast<std::size_t>(kDayTextWidth));
  EXPECT_EQ(gs.Server(2), 1);
  EXPECT_EQ(gs.Server(1), 0);
}

TEST(AccountTablesMissingTest, MissingTablesReadAsNotFound) {
  TestDir dir;
  UserRecord u;
  std::string error;
  EXPECT_FALSE(UserTable(dir.path()).FindByName("bob", &u, &error));
  EXPECT_FALSE(error.empty());
  std::vector<ScheduleRecord> s;
  EXPECT_FALSE(ScheduleTable(dir.path()).List(&s));
  EXPECT_TRUE(s.empty());
}

}  // namespace
}  // namespace tw
