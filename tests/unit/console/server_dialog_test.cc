#include "console/server_dialog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "config/account_tables.h"
#include "config/installation.h"
#include "config/settings.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

using testing::ReadFile;
using testing::TestDir;

class ServerDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(InstallMissingDataFiles(dir_.path(), &error)) << error;
  }
  Settings settings() const { return Settings::InDataDir(dir_.path()); }
  void Set(const char* section, const char* key, const std::string& value) {
    std::string error;
    ASSERT_TRUE(settings().SetText({section, key, ""}, value, &error)) << error;
  }
  std::string Get(const char* section, const char* key) const {
    return settings().Text({section, key, "unset"});
  }
  int32_t AddUser(const std::string& login, int server1) {
    UserRecord u;
    u.userid = login;
    u.name = login + " full";
    u.rules.server1 = server1;
    std::string error;
    EXPECT_TRUE(UserTable(dir_.path()).Add(&u, &error)) << error;
    return u.id;
  }
  int32_t UserServer(int32_t user_id, int server) const {
    UserRecord u;
    EXPECT_TRUE(UserTable(dir_.path()).FindById(user_id, &u));
    return u.rules.Server(server);
  }
  ServerDialogValues Load(int32_t id) {
    ServerDialogValues v;
    PageResult r = LoadServerDialog(dir_.path(), id, &v);
    EXPECT_TRUE(r.ok) << r.message;
    return v;
  }

  TestDir dir_;
};

// Which option.ini keys each proxy's dialog edits: those its listener reads.
struct KeyMapping {
  int32_t id;
  const char* section;  // of port and auth
  const char* auth;     // nullptr: no login switch
  const char* download_limit;
  const char* download_speed;
  const char* upload_limit;
  const char* upload_speed;
  const char* range_limit;
  const char* range;
};

const KeyMapping kMappings[] = {
    {1, "HTTP", "auth", "download_limit", "download_speed", "upload_limit", "upload_speed",
     "IpRange_limit", "IpRange"},
    {2, "FTP", "auth", "download_limit_ftp", "download_speed_ftp", "upload_limit_ftp",
     "upload_speed_ftp", "IpRange_ftp_limit", "IpRange_ftp"},
    // Both mail dialogs edit the pair both mail listeners read.
    {3, "POP3", nullptr, "download_limit_pop3", "download_speed_pop3", "upload_limit_smtp",
     "upload_speed_smtp", "IpRange_pop3_limit", "IpRange_pop3"},
    {4, "SMTP", nullptr, "download_limit_pop3", "download_speed_pop3", "upload_limit_smtp",
     "upload_speed_smtp", "IpRange_smtp_limit", "IpRange_smtp"},
    {5, "SOCKS", "auth", "download_limit_socks", "download_speed_socks", "upload_limit_socks",
     "upload_speed_socks", "IpRange_socks_limit", "IpRange_socks"},
};

TEST_F(ServerDialogTest, EachProxyLoadsItsOwnKeys) {
  // Every guest key holds a value of its own, so a value read from the wrong key shows.
  int n = 100;
  for (const SettingKey& k : AllSettingKeys()) {
    if (std::string(k.section) != "Guest") continue;
    bool text = std::string(k.key).find("IpRange") == 0 &&
                std::string(k.key).find("limit") == std::string::npos;
    Set("Guest", k.key, text ? std::string(k.key) : std::to_string(++n));
  }
  for (const KeyMapping& m : kMappings) {
    SCOPED_TRACE(m.section);
    Set(m.section, "port", std::to_string(7000 + m.id));
    if (m.auth) Set(m.section, m.auth, "1");
    ServerDialogValues v = Load(m.id);
    EXPECT_EQ(v.port, 7000 + m.id);
    EXPECT_EQ(v.permit_everyone, m.auth == nullptr);
    EXPECT_EQ(v.download_speed, std::stoi(Get("Guest", m.download_speed)));
    EXPECT_EQ(v.upload_speed, std::stoi(Get("Guest", m.upload_speed)));
    EXPECT_EQ(v.ip_range, m.range);
    // The switches are read through the same keys: turn them off one by one.
    Set("Guest", m.download_limit, "0");
    Set("Guest", m.upload_limit, "1");
    Set("Guest", m.range_limit, "0");
    v = Load(m.id);
    EXPECT_FALSE(v.download_limit_on);
    EXPECT_TRUE(v.upload_limit_on);
    EXPECT_FALSE(v.ip_range_on);
    Set("Guest", m.download_limit, "1");
    Set("Guest", m.range_limit, "1");
  }
}

TEST_F(ServerDialogTest, OkWritesTheKeysTheListenerReads) {
  for (const KeyMapping& m : kMappings) {
    SCOPED_TRACE(m.section);
    ServerDialogValues v = Load(m.id);
    v.port = 9000 + m.id;
    v.permit_everyone = false;
    v.download_limit_on = true;
    v.download_speed = 10 * m.id;
    v.upload_limit_on = true;
    v.upload_speed = 20 * m.id;
    v.ip_range_on = true;
    v.ip_range = "10.0.0." + std::to_string(m.id);
    PageResult r = SaveServerDialog(dir_.path(), v);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(Get(m.section, "port"), std::to_string(9000 + m.id));
    EXPECT_EQ(Get(m.section, "auth"), m.auth ? "1" : "unset");
    EXPECT_EQ(Get("Guest", m.download_limit), "1");
    EXPECT_EQ(Get("Guest", m.download_speed), std::to_string(10 * m.id));
    EXPECT_EQ(Get("Guest", m.upload_limit), "1");
    EXPECT_EQ(Get("Guest", m.upload_speed), std::to_string(20 * m.id));
    EXPECT_EQ(Get("Guest", m.range), v.ip_range);
    // What the server manager gives the listener is what was saved.
    ProxySettings s = settings().ReadProxySettings(m.id);
    EXPECT_EQ(s.port, 9000 + m.id);
    EXPECT_EQ(s.auth_mode, m.auth ? 1 : 0);
    EXPECT_EQ(s.download_rate, 10 * m.id * 1024);
    EXPECT_EQ(s.upload_rate, 20 * m.id * 1024);
    EXPECT_EQ(s.guest_ip_range, v.ip_range);
  }
  for (const char* unread :
       {"upload_limit_pop3", "upload_speed_pop3", "download_limit_smtp", "download_speed_smtp"}) {
    EXPECT_EQ(Get("Guest", unread), "unset") << "no proxy reads " << unread;
  }
}

TEST_F(ServerDialogTest, GeneralTabEditsTheServerRecordButNeverItsName) {
  ServerDialogValues v = Load(kProtocolFtp);
  ASSERT_FALSE(v.name.empty());
  EXPECT_TRUE(v.enabled);
  std::string name = v.name;
  v.name = "renamed";
  v.description = "files for the lab";
  v.enabled = false;
  ASSERT_TRUE(SaveServerDialog(dir_.path(), v).ok);
  ServerRecord r;
  ASSERT_TRUE(ServerTable(dir_.path()).FindById(kProtocolFtp, &r));
  EXPECT_EQ(r.name, name);
  EXPECT_EQ(r.description, "files for the lab");
  EXPECT_EQ(r.disable, 1);
  EXPECT_FALSE(Load(kProtocolFtp).enabled);
}

TEST_F(ServerDialogTest, MissingServerTableStillSavesTheSettings) {
  ASSERT_EQ(unlink(dir_.File(kServerTableFile).c_str()), 0);
  ServerDialogValues v;
  PageResult r = LoadServerDialog(dir_.path(), kProtocolHttp, &v);
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(r.message.empty()) << "the page says the table could not be read";
  EXPECT_TRUE(v.name.empty());
  EXPECT_EQ(v.port, 808);
  v.port = 8081;
  r = SaveServerDialog(dir_.path(), v);
  EXPECT_TRUE(r.ok) << r.message;
  EXPECT_EQ(Get("HTTP", "port"), "8081");
}

TEST_F(ServerDialogTest, RemovalsApplyBeforeAdditions) {
  int32_t ann = AddUser("ann", 1);
  int32_t bob = AddUser("bob", 0);
  int32_t cid = AddUser("cid", 1);
  int32_t gone = AddUser("gone", 1);
  ServerDialogValues v = Load(kProtocolHttp);
  ASSERT_EQ(v.users.size(), 3u);
  EXPECT_EQ(v.users[0].userid, "ann");
  EXPECT_EQ(v.users[0].name, "ann full");

  EXPECT_TRUE(RemoveUser(ann, &v));
  EXPECT_FALSE(RemoveUser(ann, &v)) << "no longer listed";
  AddUsersByName(dir_.path(), {"ann", "bob", "bob", "nobody"}, &v);
  EXPECT_TRUE(RemoveUser(cid, &v));
  EXPECT_TRUE(RemoveUser(gone, &v));
  std::string error;
  ASSERT_TRUE(UserTable(dir_.path()).Delete(gone, &error)) << error;
  ASSERT_EQ(v.users.size(), 2u) << "ann and bob, each once";

  PageResult r = SaveServerDialog(dir_.path(), v);
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(UserServer(ann, 1), 1) << "removed and added back";
  EXPECT_EQ(UserServer(bob, 1), 1);
  EXPECT_EQ(UserServer(cid, 1), 0);
  EXPECT_EQ(UserServer(ann, 5), 0) << "other proxies' fields stay";
}

TEST_F(ServerDialogTest, GroupsTabWorksTheSameAndMailDialogsHaveNone) {
  GroupRecord lab;
  lab.name = "lab";
  std::string error;
  ASSERT_TRUE(GroupTable(dir_.path()).Add(&lab, &error)) << error;
  ServerDialogValues v = Load(kProtocolSocks);
  AddGroupsByName(dir_.path(), {"lab"}, &v);
  ASSERT_TRUE(SaveServerDialog(dir_.path(), v).ok);
  ASSERT_TRUE(GroupTable(dir_.path()).FindById(lab.id, &lab));
  EXPECT_EQ(lab.rules.server5, 1);
  v = Load(kProtocolSocks);
  ASSERT_TRUE(RemoveGroup(lab.id, &v));
  ASSERT_TRUE(SaveServerDialog(dir_.path(), v).ok);
  ASSERT_TRUE(GroupTable(dir_.path()).FindById(lab.id, &lab));
  EXPECT_EQ(lab.rules.server5, 0);

  int32_t ann = AddUser("ann", 0);
  ServerDialogValues mail = Load(kProtocolPop3);
  EXPECT_TRUE(mail.users.empty());
  mail.users.push_back({ann, "ann", ""});
  ASSERT_TRUE(SaveServerDialog(dir_.path(), mail).ok);
  EXPECT_EQ(UserServer(ann, kProtocolPop3), 0) << "the mail dialogs have no Users tab";
}

TEST_F(ServerDialogTest, OkRefusesBadValuesAndWritesNothing) {
  struct Case {
    const char* what;
    void (*spoil)(ServerDialogValues*);
  };
  const Case cases[] = {
      {"port 0", [](ServerDialogValues* v) { v->port = 0; }},
      {"port 65536", [](ServerDialogValues* v) { v->port = 65536; }},
      {"negative speed", [](ServerDialogValues* v) { v->download_speed = -1; }},
      {"speed that overflows", [](ServerDialogValues* v) { v->upload_speed = 2097152; }},
      {"long range", [](ServerDialogValues* v) { v->ip_range.assign(256, '1'); }},
      {"line break in range", [](ServerDialogValues* v) { v->ip_range = "1.2.3.4\n[HTTP]"; }},
      {"line break in description", [](ServerDialogValues* v) { v->description = "a\nb"; }},
      {"long description", [](ServerDialogValues* v) { v->description.assign(256, 'd'); }},
      {"unknown server", [](ServerDialogValues* v) { v->id = 6; }},
  };
  ServerDialogValues good = Load(kProtocolHttp);
  good.upload_speed = kMaxGuestSpeedKbps;
  good.ip_range.assign(255, '1');
  ASSERT_TRUE(SaveServerDialog(dir_.path(), good).ok) << "the bounds themselves are accepted";
  std::string before = ReadFile(dir_.File(kSettingsFileName));
  for (const Case& c : cases) {
    ServerDialogValues v = good;
    c.spoil(&v);
    PageResult r = SaveServerDialog(dir_.path(), v);
    EXPECT_FALSE(r.ok) << c.what;
    EXPECT_TRUE(r.error) << c.what;
    EXPECT_FALSE(r.message.empty()) << c.what;
  }
  EXPECT_EQ(ReadFile(dir_.File(kSettingsFileName)), before);
  ServerDialogValues unused;
  EXPECT_FALSE(LoadServerDialog(dir_.path(), 0, &unused).ok);
}

TEST(ServerDialogControlsTest, EnablingFollowsTheBoxes) {
  struct Case {
    int32_t id;
    bool enabled, permit, range_on, download_on, upload_on;
    bool edits, checks, range_edit, download_edit, upload_edit;
  };
  const Case cases[] = {
      {1, true, true, true, false, true, true, true, true, false, true},
      {1, false, false, true, true, true, false, false, false, false, false},
      {2, true, false, false, false, false, true, false, false, false, false},
      {5, false, true, false, true, false, false, true, false, true, false},
      // Mail proxies have no login switch: their guest controls always follow their boxes.
      {3, true, false, true, true, false, true, true, true, true, false},
      {4, true, false, false, false, true, true, true, false, false, true},
  };
  for (const Case& c : cases) {
    ServerDialogValues v;
    v.id = c.id;
    v.enabled = c.enabled;
    v.permit_everyone = c.permit;
    v.ip_range_on = c.range_on;
    v.download_limit_on = c.download_on;
    v.upload_limit_on = c.upload_on;
    ServerDialogControls k = ControlsOf(v);
    SCOPED_TRACE(c.id);
    EXPECT_EQ(k.port_edit, c.edits);
    EXPECT_EQ(k.description_edit, c.edits);
    EXPECT_EQ(k.ip_range_check, c.checks);
    EXPECT_EQ(k.download_check, c.checks);
    EXPECT_EQ(k.upload_check, c.checks);
    EXPECT_EQ(k.ip_range_edit, c.range_edit);
    EXPECT_EQ(k.download_edit, c.download_edit);
    EXPECT_EQ(k.upload_edit, c.upload_edit);
    bool mail = c.id == 3 || c.id == 4;
    EXPECT_EQ(k.account_tabs, !mail);
    EXPECT_EQ(k.permit_everyone_shown, !mail);
    EXPECT_EQ(k.mail_limits_shared, mail);
  }
}

TEST(ServerDialogJsonTest, RoundTripsAndRefusesWhatDoesNotFit) {
  ServerDialogValues v;
  v.id = 1;
  v.port = 8080;
  v.description = "web";
  v.enabled = true;
  v.ip_range = "10.0.0.1";
  v.upload_speed = 64;
  v.users = {{4, "ann", "Ann"}};
  v.groups = {{2, "lab"}};
  v.removed_user_ids = {7};
  nlohmann::json j = v;
  ServerDialogValues back;
  std::string error;
  ASSERT_TRUE(ServerDialogValuesFromJson(j, &back, &error)) << error;
  EXPECT_EQ(nlohmann::json(back), j);

  const std::pair<const char*, nlohmann::json> spoilt[] = {
      {"port", "8080"},
      {"port", 4294967297ll},
      {"downloadSpeed", 1.5},
      {"enabled", 1},
      {"removedUserIds", nlohmann::json::array({"x"})},
      {"users", nlohmann::json::array({{{"id", 1}}})},
  };
  for (const auto& [key, value] : spoilt) {
    nlohmann::json bad = j;
    bad[key] = value;
    EXPECT_FALSE(ServerDialogValuesFromJson(bad, &back, &error)) << key << " " << value;
  }
  nlohmann::json missing = j;
  missing.erase("ipRange");
  EXPECT_FALSE(ServerDialogValuesFromJson(missing, &back, &error));
  EXPECT_FALSE(ServerDialogValuesFromJson(nlohmann::json::array(), &back, &error));
}

}  // namespace
}  // namespace tw
