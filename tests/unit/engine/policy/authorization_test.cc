#include "engine/policy/authorization.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "config/account_tables.h"
#include "config/installation.h"
#include "engine/policy/web_filter_list.h"
#include "tablestore/sdb_table.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

using testing::TestDir;

constexpr char kClient[] = "192.168.0.20";

// A data directory with real tables, one proxy's settings over it and a test clock that reads
// Monday 2024-03-04 12:00.
class AuthorizationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(InstallMissingDataFiles(dir_.path(), &error)) << error;
    proxy_.dataDir = dir_.path();
    proxy_.clock = &clock_;
    proxy_.schedules = &schedules_;
    proxy_.protocolId = kFtp;
    proxy_.guestsFromAnywhere = true;  // the address rules are tested here, not the networks
  }

  UserRecord AddUser(const std::string& name, const std::string& password, int own_rules,
                     int group = 0) {
    UserRecord u;
    u.userid = name;
    u.passwd = password;
    u.group = group;
    u.rules.SetServer(proxy_.protocolId, own_rules);
    u.rules.download_limit = 1;
    u.rules.download_speed = 10;
    u.rules.upload_limit = 1;
    u.rules.upload_speed = 20;
    std::string error;
    EXPECT_TRUE(UserTable(dir_.path()).Add(&u, &error)) << error;
    return u;
  }
  void Update(const UserRecord& u) {
    std::string error;
    EXPECT_TRUE(UserTable(dir_.path()).Update(u, &error)) << error;
  }
  GroupRecord AddGroup(const std::string& name, int rules_on) {
    GroupRecord g;
    g.name = name;
    g.rules.SetServer(proxy_.protocolId, rules_on);
    g.rules.download_limit = 1;
    g.rules.download_speed = 100;
    std::string error;
    EXPECT_TRUE(GroupTable(dir_.path()).Add(&g, &error)) << error;
    return g;
  }
  void UseSchedule(UserRecord* u, const char* monday, int flag) {
    ScheduleRecord s;
    s.id = 7;
    s.monday = monday;
    s.SetServer(proxy_.protocolId, flag);
    schedules_ = ScheduleList({s});
    u->rules.schedule = 1;
    u->rules.scheduleid = 7;
    Update(*u);
  }
  bool Check(std::string_view user, std::string_view password, std::string_view client = kClient) {
    down_ = up_ = -1;
    return CheckAccountAccess(proxy_, client, user, password, &down_, &up_);
  }
  bool CheckHttp(std::string_view user, std::string_view password,
                 std::string_view client = kClient) {
    down_ = up_ = -1;
    reason_ = 0;
    filter_ = 0;
    return CheckHttpAccount(proxy_, client, user, password, &down_, &up_, &reason_, &filter_);
  }

  static constexpr int kFtp = 2;
  TestDir dir_;
  ManualClock clock_{MakeLocalTime(2024, 3, 4, 12, 0)};
  ScheduleList schedules_;
  AuthorizationSettings proxy_;
  std::int32_t down_ = -1, up_ = -1, filter_ = 0;
  int reason_ = 0;
};

TEST_F(AuthorizationTest, LoginRequiredNeedsRightsOfTheUserOrItsGroup) {
  proxy_.authMode = 1;
  AddUser("nobody", "pw", 0, 0);
  EXPECT_FALSE(Check("nobody", "pw")) << "no own rules and no group";

  GroupRecord staff = AddGroup("staff", 1);
  AddUser("member", "pw", 0, staff.id);
  EXPECT_TRUE(Check("member", "pw"));
  EXPECT_EQ(down_, 100 * 1024) << "the group's limits decide";
  EXPECT_EQ(up_, 0);

  GroupRecord closed = AddGroup("closed", 0);
  AddUser("outsider", "pw", 0, closed.id);
  EXPECT_FALSE(Check("outsider", "pw")) << "group without rights on this proxy";
  AddUser("orphan", "pw", 0, 99);
  EXPECT_FALSE(Check("orphan", "pw")) << "group id that does not exist";

  AddUser("own", "pw", 1, closed.id);
  EXPECT_TRUE(Check("own", "pw")) << "own rules win over the group";
  EXPECT_EQ(down_, 10 * 1024);
  EXPECT_EQ(up_, 20 * 1024);
}

TEST_F(AuthorizationTest, PasswordsMustMatchExactly) {
  proxy_.authMode = 1;
  AddUser("bob", "Secret", 1);
  struct Case {
    const char* user;
    const char* password;
    bool ok;
  } cases[] = {{"bob", "Secret", true},   {"bob", "secret", false}, {"bob", "Secre", false},
               {"bob", "Secret2", false}, {"bob", "", false},       {"Bob", "Secret", false},
               {"", "", false},           {"eve", "Secret", false}};
  for (const Case& c : cases)
    EXPECT_EQ(Check(c.user, c.password), c.ok) << c.user << "/" << c.password;
  EXPECT_FALSE(Check(std::string_view("bob\0", 4), "Secret"));
}

TEST_F(AuthorizationTest, DisabledAccountsAndGroupsDoNotAdmit) {
  proxy_.authMode = 1;
  UserRecord u = AddUser("bob", "pw", 1);
  u.enable = 0;
  Update(u);
  EXPECT_FALSE(Check("bob", "pw"));
  GroupRecord g = AddGroup("g", 1);
  g.enable = 0;
  std::string error;
  ASSERT_TRUE(GroupTable(dir_.path()).Update(g, &error)) << error;
  AddUser("member", "pw", 0, g.id);
  EXPECT_FALSE(Check("member", "pw"));
}

TEST_F(AuthorizationTest, AddressRuleOfTheDecidingRecord) {
  proxy_.authMode = 1;
  proxy_.protocolId = 1;
  UserRecord u = AddUser("bob", "pw", 1);
  u.rules.ip = 1;
  u.rules.iprange = "";
  Update(u);
  EXPECT_FALSE(CheckHttp("bob", "pw")) << "rule switched on with an empty rule";
  EXPECT_EQ(reason_, kRefusedAddress);

  u.rules.iprange = "192.168.0.50-192.168.0.1";
  Update(u);
  EXPECT_TRUE(CheckHttp("bob", "pw", "192.168.0.50"));
  EXPECT_EQ(reason_, kRefusedAddress) << "stays set when admitted";
  EXPECT_FALSE(CheckHttp("bob", "pw", "192.168.0.51"));

  u.rules.iprange = "192.168.0.7";
  Update(u);
  EXPECT_TRUE(CheckHttp("bob", "pw", "192.168.0.7"));
  EXPECT_FALSE(CheckHttp("bob", "pw", "192.168.0.70"));

  u.rules.ip = 0;
  Update(u);
  EXPECT_TRUE(CheckHttp("bob", "pw", "8.8.8.8"));
  EXPECT_EQ(reason_, 0);
}

TEST_F(AuthorizationTest, ScheduleBoundariesWithTheTestClock) {
  proxy_.authMode = 1;
  UserRecord u = AddUser("bob", "pw", 1);
  UseSchedule(&u, "08:00-17:00", 1);
  struct Case {
    int hour, minute;
    bool ok;
  } cases[] = {{17, 0, true}, {17, 1, false}, {8, 0, true}, {7, 59, false}};
  for (const Case& c : cases) {
    clock_.Set(MakeLocalTime(2024, 3, 4, c.hour, c.minute));
    EXPECT_EQ(Check("bob", "pw"), c.ok) << c.hour << ":" << c.minute;
  }
  UseSchedule(&u, "22:00-24:00", 1);
  clock_.Set(MakeLocalTime(2024, 3, 4, 23, 59));
  EXPECT_TRUE(Check("bob", "pw"));
  clock_.Set(MakeLocalTime(2024, 3, 5, 23, 59));  // Tuesday: empty day text, all day
  EXPECT_TRUE(Check("bob", "pw"));
}

TEST_F(AuthorizationTest, ScheduleAppliesOnlyWhenSwitchedOnForThisProxy) {
  proxy_.authMode = 1;
  proxy_.protocolId = 1;
  UserRecord u = AddUser("bob", "pw", 1);
  clock_.Set(MakeLocalTime(2024, 3, 4, 20, 0));
  UseSchedule(&u, "08:00-17:00", 0);
  EXPECT_TRUE(CheckHttp("bob", "pw")) << "schedule flag 0 for this proxy";
  UseSchedule(&u, "08:00-17:00", 1);
  EXPECT_FALSE(CheckHttp("bob", "pw"));
  EXPECT_EQ(reason_, kRefusedSchedule);
  u.rules.schedule = 0;
  Update(u);
  EXPECT_TRUE(CheckHttp("bob", "pw")) << "account switch off";
  u.rules.schedule = 1;
  u.rules.scheduleid = 8;
  Update(u);
  EXPECT_TRUE(CheckHttp("bob", "pw")) << "no schedule with that id";
}

TEST_F(AuthorizationTest, HttpWebFilterIdComesFromTheDecidingRecord) {
  proxy_.authMode = 1;
  proxy_.protocolId = 1;
  UserRecord u = AddUser("bob", "pw", 1);
  u.rules.filter = 1;
  u.rules.filterid = 4;
  Update(u);
  EXPECT_TRUE(CheckHttp("bob", "pw"));
  EXPECT_EQ(filter_, 4);
  u.rules.filter = 2;
  Update(u);
  EXPECT_TRUE(CheckHttp("bob", "pw"));
  EXPECT_EQ(filter_, 0) << "only a switch equal to 1 hands the filter over";
}

TEST_F(AuthorizationTest, GuestRuleDecidesWithTheUsersLimits) {
  proxy_.authMode = 0;
  proxy_.downloadRate = 5000;
  proxy_.uploadRate = 6000;
  proxy_.guestRuleOn = true;
  proxy_.guestIpRange = "192.168.0.1-192.168.0.50";
  UserRecord u = AddUser("bob", "pw", 1);
  u.rules.ip = 1;
  u.rules.iprange = "10.0.0.1";
  Update(u);

  EXPECT_TRUE(Check("bob", "pw", "192.168.0.20"));
  EXPECT_EQ(down_, 10 * 1024) << "own rule missed, guest rule admitted, user's limits kept";
  EXPECT_EQ(up_, 20 * 1024);
  EXPECT_FALSE(Check("bob", "pw", "192.168.0.51"));
  EXPECT_EQ(down_, 10 * 1024);
  EXPECT_TRUE(Check("bob", "pw", "10.0.0.1"))
      << "the user's own rule admits outside the guest rule";

  EXPECT_TRUE(Check("", "", "192.168.0.50"));
  EXPECT_EQ(down_, 5000);
  EXPECT_EQ(up_, 6000);
  EXPECT_TRUE(Check("bob", "wrong", "192.168.0.1"));
  EXPECT_EQ(down_, 5000) << "a wrong password keeps the guest limits";
  proxy_.guestIpRange = "192.168.0.50-192.168.0.1";
  EXPECT_TRUE(Check("", "", "192.168.0.50"));
  EXPECT_FALSE(Check("", "", "192.168.0.51"));
  proxy_.guestRuleOn = false;
  EXPECT_TRUE(Check("", "", "203.0.113.9")) << "no rule: every guest";
}

// A guest comes only from a network attached to this machine, then through the guest rule; a
// rule that is on but empty admits nobody (it once admitted everyone). An account admitted by
// its own rule is no guest and may come from anywhere.
TEST_F(AuthorizationTest, GuestsOnlyFromAttachedNetworksAndAnEmptyRuleAdmitsNobody) {
  proxy_.authMode = 0;
  proxy_.guestsFromAnywhere = false;
  proxy_.attachedNetworks = {{0x7f000000, 0xff000000}, {0xc0a80100, 0xffffff00}};  // lo, /24
  struct Case {
    bool rule_on;
    const char* range;
    const char* client;
    GuestAdmission expected;
  } cases[] = {
      {false, "", "127.0.0.1", GuestAdmission::kAdmitted},
      {false, "", "192.168.1.200", GuestAdmission::kAdmitted},
      {false, "", "192.168.2.1", GuestAdmission::kNotLocal},
      {false, "", "203.0.113.9", GuestAdmission::kNotLocal},
      {false, "", "not an address", GuestAdmission::kNotLocal},
      {true, "", "192.168.1.5", GuestAdmission::kRule},
      {true, "192.168.1.1-192.168.1.9", "192.168.1.5", GuestAdmission::kAdmitted},
      {true, "192.168.1.1-192.168.1.9", "192.168.1.10", GuestAdmission::kRule},
      {true, "0.0.0.0-255.255.255.255", "203.0.113.9", GuestAdmission::kNotLocal},
  };
  for (const Case& c : cases) {
    proxy_.guestRuleOn = c.rule_on;
    proxy_.guestIpRange = c.range;
    EXPECT_EQ(CheckGuest(proxy_, c.client), c.expected) << c.range << " " << c.client;
  }
  proxy_.guestsFromAnywhere = true;
  proxy_.guestRuleOn = false;
  EXPECT_EQ(CheckGuest(proxy_, "203.0.113.9"), GuestAdmission::kAdmitted);

  proxy_.guestsFromAnywhere = false;
  UserRecord u = AddUser("bob", "pw", 1);
  u.rules.ip = 1;
  u.rules.iprange = "203.0.113.9";
  Update(u);
  EXPECT_TRUE(Check("bob", "pw", "203.0.113.9")) << "the account's own rule, not a guest";
  EXPECT_FALSE(Check("", "", "203.0.113.9"));
}

TEST_F(AuthorizationTest, HugeSpeedMeansUnlimited) {
  proxy_.authMode = 1;
  UserRecord u = AddUser("bob", "pw", 1);
  u.rules.download_speed = 2097152;
  u.rules.upload_speed = 2097151;
  Update(u);
  EXPECT_TRUE(Check("bob", "pw"));
  EXPECT_EQ(down_, 0);
  EXPECT_EQ(up_, 2147482624);
}

TEST(AuthorizationMissingTablesTest, LoginRefusesAndGuestFallsBackToTheGuestRule) {
  TestDir dir;
  AuthorizationSettings proxy;
  proxy.dataDir = dir.path();
  proxy.protocolId = 5;
  std::int32_t down = 0, up = 0;
  proxy.authMode = 1;
  EXPECT_FALSE(CheckAccountAccess(proxy, "10.0.0.1", "bob", "pw", &down, &up));
  proxy.authMode = 0;
  proxy.guestsFromAnywhere = true;
  proxy.guestRuleOn = true;
  proxy.guestIpRange = "10.0.0.1";
  EXPECT_TRUE(CheckAccountAccess(proxy, "10.0.0.1", "bob", "pw", &down, &up));
  EXPECT_FALSE(CheckAccountAccess(proxy, "10.0.0.2", "bob", "pw", &down, &up));
}

// A user table laid out differently from ours (field order, column types and widths, an extra
// column, no "enable" column) still authenticates as the account check reads it: the
// password by field number 2, everything else by name without regard to case.
TEST(ForeignTableTest, UsersOfATableMadeElsewhereAuthenticate) {
  TestDir dir;
  SdbTable t;
  ASSERT_TRUE(t.CreateField("ID", SdbTable::AutoInc));
  ASSERT_TRUE(t.CreateField("UserID", SdbTable::String, 32));
  ASSERT_TRUE(t.CreateField("Password", SdbTable::String, 16));  // field 2, another name
  ASSERT_TRUE(t.CreateField("Server2", SdbTable::Short));
  ASSERT_TRUE(t.CreateField("IP", SdbTable::Byte));
  ASSERT_TRUE(t.CreateField("IPRange", SdbTable::String, 40));
  ASSERT_TRUE(t.CreateField("Download_Limit", SdbTable::Int));
  ASSERT_TRUE(t.CreateField("Download_Speed", SdbTable::Int));
  ASSERT_TRUE(t.CreateField("admin", SdbTable::Int));
  ASSERT_TRUE(t.CreateKey("UserID", SdbTable::KeyUnique, 1));
  ASSERT_TRUE(t.Create(dir.path() + "/user.sdb", "users")) << t.ErrorText();
  struct Row {
    const char* user;
    const char* password;
    const char* server2;
    const char* ip;
    const char* range;
  } rows[] = {{"ann", "pa55", "1", "1", "10.0.0.1-10.0.0.20"}, {"ben", "x", "0", "0", ""}};
  for (const Row& r : rows) {
    ASSERT_TRUE(t.SetFieldText(r.user, 1));
    ASSERT_TRUE(t.SetFieldText(r.password, 2));
    ASSERT_TRUE(t.SetFieldText(r.server2, 3));
    ASSERT_TRUE(t.SetFieldText(r.ip, 4));
    ASSERT_TRUE(t.SetFieldText(r.range, 5));
    ASSERT_TRUE(t.SetFieldText("1", 6));
    ASSERT_TRUE(t.SetFieldText("3", 7));
    ASSERT_TRUE(t.Append()) << t.ErrorText();
  }
  t.Close();

  AuthorizationSettings proxy;
  proxy.dataDir = dir.path();
  proxy.protocolId = 2;
  proxy.authMode = 1;
  std::int32_t down = 0, up = 0;
  EXPECT_TRUE(CheckAccountAccess(proxy, "10.0.0.5", "ann", "pa55", &down, &up));
  EXPECT_EQ(down, 3 * 1024);
  EXPECT_FALSE(CheckAccountAccess(proxy, "10.0.0.21", "ann", "pa55", &down, &up));
  EXPECT_FALSE(CheckAccountAccess(proxy, "10.0.0.5", "ann", "pa5", &down, &up));
  EXPECT_FALSE(CheckAccountAccess(proxy, "10.0.0.5", "ben", "x", &down, &up))
      << "no rights here and no group table";
}

TEST(CheckBySocketTest, UsesThePeerAddressOfTheSocket) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(listener, -1);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
  int client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  int accepted = ::accept(listener, nullptr, nullptr);
  ASSERT_NE(accepted, -1);

  TestDir dir;
  AuthorizationSettings proxy;
  proxy.dataDir = dir.path();
  proxy.protocolId = 5;
  proxy.guestsFromAnywhere = true;
  proxy.guestRuleOn = true;
  proxy.guestIpRange = "127.0.0.1";
  std::int32_t down = 0, up = 0;
  EXPECT_FALSE(CheckAccountAccess(proxy, -1, "", "", &down, &up)) << "no peer: no address";
  EXPECT_TRUE(CheckAccountAccess(proxy, accepted, "", "", &down, &up));
  proxy.guestIpRange = "127.0.0.2-127.0.0.9";
  EXPECT_FALSE(CheckAccountAccess(proxy, accepted, "", "", &down, &up));
  ::close(accepted);
  ::close(client);
  ::close(listener);
}

TEST(ProxyAddressesTest, TheProxysOwnListAndPortAreUsed) {
  AuthorizationSettings http;
  http.port = 808;
  http.localAddresses.SetSource([] { return std::vector<std::string>{"10.0.0.15"}; });
  EXPECT_TRUE(IsOwnHttpAddress(http, "10.0.0.15:808"));
  EXPECT_FALSE(IsOwnHttpAddress(http, "10.0.0.1:808"));
  EXPECT_EQ(LocalAddressForClient(http, "10.0.0.5"), "10.0.0.15");
}

TEST_F(AuthorizationTest, StartUpListsLoadFromTheTables) {
  std::string error;
  for (int i = 0; i < 3; ++i) {
    ScheduleRecord s;
    s.name = "s" + std::to_string(i);
    s.monday = "0" + std::to_string(i) + ":00-23:00";
    ASSERT_TRUE(ScheduleTable(dir_.path()).Add(&s, &error)) << error;
  }
  std::string error2;
  ASSERT_TRUE(ScheduleTable(dir_.path()).Delete(1, &error2)) << error2;
  ScheduleList list;
  ASSERT_TRUE(list.Load(dir_.path()));
  EXPECT_EQ(list.size(), 2u);
  ASSERT_NE(list.Find(3), nullptr);
  EXPECT_EQ(list.Find(3)->monday, "02:00-23:00");

  testing::WriteFile(dir_.File("sites.txt"), "*.example.org;intranet");
  FilterRecord from_file;
  from_file.name = "f";
  from_file.type = 1;
  from_file.usefile = 1;
  from_file.filepath = dir_.File("sites.txt");
  from_file.webaddresses = "ignored";
  ASSERT_TRUE(FilterTable(dir_.path()).Add(&from_file, &error)) << error;
  FilterRecord missing_file = from_file;
  missing_file.name = "g";
  missing_file.filepath = dir_.File("nope.txt");
  ASSERT_TRUE(FilterTable(dir_.path()).Add(&missing_file, &error)) << error;
  for (int i = 0; i < 110; ++i) {
    FilterRecord f;
    f.name = "n" + std::to_string(i);
    f.webaddresses = "*.x";
    ASSERT_TRUE(FilterTable(dir_.path()).Add(&f, &error)) << error;
  }
  WebFilterList filters;
  ASSERT_TRUE(filters.Load(dir_.path()));
  EXPECT_EQ(filters.size(), kMaxWebFilters);
  ASSERT_NE(filters.Find(from_file.id), nullptr);
  EXPECT_EQ(filters.Find(from_file.id)->patterns, "*.example.org;intranet");
  EXPECT_EQ(filters.Find(from_file.id)->type, 1);
  EXPECT_EQ(filters.Find(missing_file.id)->patterns, "");
}

}  // namespace
}  // namespace tw
