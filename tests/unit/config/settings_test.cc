#include "config/settings.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "config/data_dir.h"
#include "config/speed.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

using testing::TestDir;
using testing::WriteFile;

TEST(SettingsTest, MissingFileGivesEveryDefault) {
  TestDir dir;
  Settings s = Settings::InDataDir(dir.path());
  for (const SettingKey& k : AllSettingKeys()) {
    EXPECT_EQ(s.Text(k), k.default_text) << k.section << "/" << k.key;
  }
  struct Case {
    int protocol;
    int port;
  } cases[] = {{kProtocolHttp, 808},
               {kProtocolFtp, 21},
               {kProtocolPop3, 110},
               {kProtocolSmtp, 25},
               {kProtocolSocks, 1080}};
  for (const Case& c : cases) {
    ProxySettings p = s.ReadProxySettings(c.protocol);
    EXPECT_EQ(p.port, c.port);
    EXPECT_EQ(p.auth_mode, 0);
    EXPECT_EQ(p.download_rate, 0);
    EXPECT_EQ(p.upload_rate, 0);
    EXPECT_EQ(p.guest_ip_range, "");
  }
}

TEST(SettingsTest, EveryKeyRoundTripsWithoutDisturbingTheOthers) {
  TestDir dir;
  Settings s = Settings::InDataDir(dir.path());
  std::string error;
  int n = 0;
  for (const SettingKey& k : AllSettingKeys()) {
    ASSERT_TRUE(s.SetText(k, "v" + std::to_string(n++), &error)) << error;
  }
  n = 0;
  for (const SettingKey& k : AllSettingKeys()) {
    EXPECT_EQ(s.Text(k), "v" + std::to_string(n++)) << k.section << "/" << k.key;
  }
  ASSERT_TRUE(s.SetInt(setting::kHttpPort, 8080, &error));
  EXPECT_EQ(s.Int(setting::kHttpPort), 8080);
}

TEST(SettingsTest, KeysAreDistinct) {
  std::set<std::string> seen;
  for (const SettingKey& k : AllSettingKeys()) {
    std::string id = std::string(k.section) + "/" + k.key;
    for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(seen.insert(id).second) << id;
  }
}

TEST(SettingsTest, PortsReadTheirLeadingDigitsWithoutRangeCheck) {
  TestDir dir;
  Settings s = Settings::InDataDir(dir.path());
  WriteFile(s.path(), "[http]\nPORT=80abc\n[FTP]\nport=abc\n[SOCKS]\nport=70000\nauth=1\n");
  EXPECT_EQ(s.ReadProxySettings(kProtocolHttp).port, 80);
  EXPECT_EQ(s.ReadProxySettings(kProtocolFtp).port, 0);
  EXPECT_EQ(s.ReadProxySettings(kProtocolSocks).port, 70000);
  EXPECT_EQ(s.ReadProxySettings(kProtocolSocks).auth_mode, 1);
}

TEST(SettingsTest, GuestLimitsFollowSwitchesAndTheSharedMailPair) {
  TestDir dir;
  Settings s = Settings::InDataDir(dir.path());
  WriteFile(s.path(),
            "[Guest]\n"
            "download_limit=1\ndownload_speed=2097152\n"  // overflows: unlimited
            "upload_limit=1\nupload_speed=2097151\n"
            "download_limit_pop3=1\ndownload_speed_pop3=10\n"
            "upload_limit_pop3=1\nupload_speed_pop3=99\n"  // written by the dialog, not read
            "upload_limit_smtp=1\nupload_speed_smtp=20\n"
            "download_limit_ftp=0\ndownload_speed_ftp=50\n"
            "IpRange_limit=1\nIpRange=10.0.0.1-10.0.0.9\n"
            "IpRange_ftp_limit=0\nIpRange_ftp=10.0.0.1\n"
            "IpRange_smtp_limit=1\nIpRange_smtp=10.0.0.2\n");
  ProxySettings http = s.ReadProxySettings(kProtocolHttp);
  EXPECT_EQ(http.download_rate, 0);
  EXPECT_EQ(http.upload_rate, 2147482624);
  EXPECT_EQ(http.guest_ip_range, "10.0.0.1-10.0.0.9");
  for (int mail : {kProtocolPop3, kProtocolSmtp}) {
    ProxySettings p = s.ReadProxySettings(mail);
    EXPECT_EQ(p.download_rate, 10 * 1024) << mail;
    EXPECT_EQ(p.upload_rate, 20 * 1024) << mail;
  }
  EXPECT_EQ(s.ReadProxySettings(kProtocolPop3).guest_ip_range, "");
  EXPECT_EQ(s.ReadProxySettings(kProtocolSmtp).guest_ip_range, "10.0.0.2");
  ProxySettings ftp = s.ReadProxySettings(kProtocolFtp);
  EXPECT_EQ(ftp.download_rate, 0);
  EXPECT_EQ(ftp.guest_ip_range, "");
  EXPECT_STREQ(GuestDialogKeys(kProtocolPop3).upload_speed.key, "upload_speed_pop3");
  EXPECT_STREQ(GuestDialogKeys(kProtocolSmtp).download_speed.key, "download_speed_smtp");
}

TEST(SpeedTest, ConvertsKilobytesToBytesAndOverflowToUnlimited) {
  struct Case {
    int on, kbps, rate;
  } cases[] = {{1, 0, 0},  {1, 1, 1024}, {1, 2097151, 2147482624}, {1, 2097152, 0}, {1, 4194304, 0},
               {1, -1, 0}, {0, 100, 0},  {7, 100, 102400}};
  for (const Case& c : cases) EXPECT_EQ(SpeedToRate(c.on, c.kbps), c.rate) << c.on << "/" << c.kbps;
}

TEST(DataDirTest, SwitchIsFoundOnlyAsAWholeArgument) {
  std::string dir, error;
  const char* with[] = {"/opt/--data/tarnwick", "--console", "127.0.0.1:9", "--data", "/srv/d/"};
  ASSERT_TRUE(DataDirFromArguments(5, with, &dir, &error));
  EXPECT_EQ(dir, "/srv/d");
  const char* joined[] = {"prog", "--data=/x"};
  ASSERT_TRUE(DataDirFromArguments(2, joined, &dir, &error));
  EXPECT_EQ(dir, "/x");
  const char* none[] = {"/opt/--data/tarnwick", "--console", "--data=1"};
  ASSERT_TRUE(DataDirFromArguments(1, none, &dir, &error));
  EXPECT_EQ(dir, ProgramDirectory());
  const char* dangling[] = {"prog", "--data"};
  EXPECT_FALSE(DataDirFromArguments(2, dangling, &dir, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace tw
