#include "hosting/server_manager.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/account_tables.h"
#include "config/installation.h"
#include "config/settings.h"
#include "engine/proxy_protocols.h"
#include "hosting/listen_failure.h"
#include "tests/support/test_sockets.h"

namespace tw {
namespace {

class ServerManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tw-manager-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    std::string error;
    ASSERT_TRUE(InstallMissingDataFiles(dir_, &error)) << error;
    // Ephemeral ports, so tests never collide with anything on the machine.
    for (int id = 1; id <= 5; ++id) ASSERT_TRUE(settings().SetInt(PortKey(id), 0, &error));
  }
  void TearDown() override { test::RunCommand("rm -rf '" + dir_ + "'"); }

  Settings settings() const { return Settings::InDataDir(dir_); }

  std::unique_ptr<ServerManager> Make(ManagerHost host = ManagerHost::kConsole) {
    auto m = std::make_unique<ServerManager>(
        host, dir_, [this](const std::string& line) { lines_.push_back(line); });
    m->events.messageBox = [this](const std::string& text, bool error) {
      boxes_.push_back((error ? "E:" : "I:") + text);
    };
    m->events.startFailed = [this] { ++start_failed_; };
    return m;
  }

  void SetDisabled(int id, int disable) {
    ServerRecord r;
    ASSERT_TRUE(ServerTable(dir_).FindById(id, &r));
    r.disable = disable;
    std::string error;
    ASSERT_TRUE(ServerTable(dir_).Update(r, &error)) << error;
  }

  std::string dir_;
  std::vector<std::string> lines_, boxes_;
  int start_failed_ = 0;
};

TEST_F(ServerManagerTest, StartAndStopAreIdempotentAndLogEachRunningServer) {
  auto m = Make();
  m->StartServers();
  ASSERT_TRUE(m->AllServersActive());
  for (int id = 1; id <= 5; ++id)
    EXPECT_EQ(m->Running(id), ProtocolFor(id).handler != nullptr) << id;
  size_t logged = lines_.size();
  EXPECT_GE(logged, 1u);
  for (const std::string& line : lines_) {
    EXPECT_NE(line.find(" Proxy Server started on port "), std::string::npos) << line;
  }
  EXPECT_EQ(lines_.back(), "Socks Proxy Server started on port " +
                               std::to_string(m->Server(kProtocolSocks).port()) + ".");
  m->StartServers();
  EXPECT_EQ(lines_.size(), logged) << "a second start while online does nothing";
  m->StopServers();
  EXPECT_FALSE(m->AllServersActive());
  EXPECT_EQ(lines_.back(), "Proxy Servers stopped.");
  for (int id = 1; id <= 5; ++id) EXPECT_FALSE(m->Running(id));
  m->StopServers();
  EXPECT_EQ(lines_.back(), "Proxy Servers stopped.");
  EXPECT_EQ(lines_.size(), logged + 1) << "a second stop while offline does nothing";
}

TEST_F(ServerManagerTest, EveryServerDisabledTakesTheFailurePath) {
  for (int id = 1; id <= 4; ++id) SetDisabled(id, 1);
  std::string error;
  ASSERT_TRUE(ServerTable(dir_).Delete(5, &error)) << error;  // no record: not enabled
  std::string e;
  settings().SetInt(PortKey(kProtocolHttp), 8080, &e);
  auto m = Make();
  m->StartServers();
  EXPECT_FALSE(m->AllServersActive());
  ASSERT_EQ(lines_.size(), 5u);
  EXPECT_EQ(lines_[0], "Http Proxy Server failed to listen on port 8080.");
  EXPECT_EQ(lines_[4], "Socks Proxy Server failed to listen on port 0.");
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(
      boxes_[0],
      "E:Error starting the proxy Servers. This may be due to another service running on the "
      "ports [8080,0,0,0,0], try changing the port number and then starting the server again.");
  EXPECT_EQ(start_failed_, 1);
  EXPECT_TRUE(m->StartFailedFlag());
  EXPECT_EQ(m->LastPort(kProtocolHttp), 8080);

  // The service host only logs the five lines.
  lines_.clear();
  boxes_.clear();
  auto service = Make(ManagerHost::kService);
  service->StartServers();
  EXPECT_EQ(lines_.size(), 5u);
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(ServerManagerTest, ConsoleExplainsATotalFailureWhenTheServiceRuns) {
  for (int id = 1; id <= 5; ++id) SetDisabled(id, 1);
  auto m = Make();
  m->events.isServiceRunning = [] { return true; };
  m->StartServers();
  EXPECT_TRUE(lines_.empty());
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0],
            "E:Tarnwick Proxy Server is running as a Service! You do not need to start the server "
            "again.");
}

TEST_F(ServerManagerTest, GuestLimitsAndMailPairReachTheListeners) {
  std::string e;
  Settings s = settings();
  s.SetInt(setting::kDownloadLimitPop3, 1, &e);
  s.SetInt(setting::kDownloadSpeedPop3, 2097151, &e);
  s.SetInt(setting::kUploadLimitSmtp, 1, &e);
  s.SetInt(setting::kUploadSpeedSmtp, 10, &e);
  s.SetInt(setting::kDownloadLimitSocks, 1, &e);
  s.SetInt(setting::kDownloadSpeedSocks, 2097152, &e);
  s.SetInt(setting::kIpRangeSocksLimit, 1, &e);
  s.SetText(setting::kIpRangeSocks, "10.0.0.1-10.0.0.9", &e);
  s.SetInt(setting::kIpRangeFtpLimit, 0, &e);
  s.SetText(setting::kIpRangeFtp, "10.0.0.1", &e);
  s.SetInt(setting::kSocksAuth, 1, &e);
  auto m = Make();
  m->StartServers();
  for (int id : {kProtocolPop3, kProtocolSmtp}) {
    EXPECT_EQ(m->Server(id).access().downloadRate, 2147482624) << id;
    EXPECT_EQ(m->Server(id).access().uploadRate, 10240) << id;
  }
  EXPECT_EQ(m->Server(kProtocolSocks).access().downloadRate, 0) << "2097152 KB/s is unlimited";
  EXPECT_EQ(m->Server(kProtocolSocks).access().guestIpRange, "10.0.0.1-10.0.0.9");
  EXPECT_EQ(m->Server(kProtocolSocks).access().authMode, 1);
  EXPECT_EQ(m->Server(kProtocolFtp).access().guestIpRange, "") << "range switch off";
  EXPECT_TRUE(m->Server(kProtocolFtp).ftp().dataPortRangeOn);
  m->StopServers();
}

// Every proxy refuses the ports of all five (they share one list of own endpoints), and the
// switch for local destinations reaches each of them.
TEST_F(ServerManagerTest, ProxiesRefuseEachOthersPortsAndReadTheLocalSwitch) {
  std::string e;
  ASSERT_TRUE(settings().SetInt(setting::kAllowLocalDestinations, 1, &e)) << e;
  auto m = Make();
  m->StartServers();
  uint32_t loopback = htonl(INADDR_LOOPBACK);
  for (int from = 1; from <= 5; ++from) {
    for (int to = 1; to <= 5; ++to) {
      EXPECT_EQ(
          m->Server(from).CheckDestination(loopback, static_cast<uint16_t>(m->Server(to).port())),
          DestinationVerdict::kOwnListener)
          << from << " to " << to;
    }
    EXPECT_EQ(m->Server(from).CheckDestination(loopback, 9), DestinationVerdict::kAllowed) << from;
  }
  uint16_t http = static_cast<uint16_t>(m->Server(kProtocolHttp).port());
  m->StopServers();
  EXPECT_FALSE(m->ownEndpoints().Reaches(loopback, http, true))
      << "a stopped proxy's port is no longer listed";
  ASSERT_TRUE(settings().SetInt(setting::kAllowLocalDestinations, 0, &e)) << e;
  EXPECT_FALSE(m->ListenerSettingsFor(settings(), kProtocolSmtp).allowLocalDestinations);
}

// The time limits of option.ini reach the listeners in milliseconds; a value out of range or
// not a number takes the default.
TEST_F(ServerManagerTest, TimeLimitsReachTheListenersWithDefaultsForBadValues) {
  struct Case {
    const char* text;
    uint32_t idle, lookup, dialogue;
  } cases[] = {
      {"", 3600000, 5000, 120000},  {"7", 7000, 7000, 7000},           {"0", 3600000, 5000, 120000},
      {"x", 3600000, 5000, 120000}, {"100000", 3600000, 5000, 120000},
  };
  auto m = Make();
  for (const Case& c : cases) {
    std::string e;
    for (const SettingKey& key :
         {setting::kIdleTimeout, setting::kLookupTimeout, setting::kHttpFtpDialogueTimeout}) {
      ASSERT_TRUE(settings().SetText(key, c.text, &e)) << e;
    }
    ListenerSettings http = m->ListenerSettingsFor(settings(), kProtocolHttp);
    EXPECT_EQ(http.idleTimeoutMs, c.idle) << c.text;
    EXPECT_EQ(http.lookupTimeoutMs, c.lookup) << c.text;
    EXPECT_EQ(http.http.ftpGatewayDialogueMs, c.dialogue) << c.text;
  }
}

TEST_F(ServerManagerTest, SingleServerStartAndStop) {
  SetDisabled(kProtocolHttp, 1);
  auto m = Make();
  m->StartServer(kProtocolHttp);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], "I:The Server is disabled!");
  EXPECT_FALSE(m->Running(kProtocolHttp));

  m->StartServer(kProtocolSocks);
  ASSERT_TRUE(m->Running(kProtocolSocks));
  EXPECT_FALSE(m->AllServersActive()) << "a single start leaves the set offline";
  m->StopServers();
  EXPECT_FALSE(m->Running(kProtocolSocks)) << "StopServers stops a listener started alone too";
  EXPECT_FALSE(m->Server(kProtocolSocks).Running());
  m->StartServer(kProtocolSocks);
  m->StopServer(kProtocolSocks);
  EXPECT_FALSE(m->Running(kProtocolSocks));

  m->StartServer(kProtocolFtp);
  EXPECT_TRUE(m->Server(kProtocolFtp).ftp().dataPortRangeOn);

  // A port that another listener holds fails with the single-server text.
  test::TestServer holder(test::TestServer::kSink);
  std::string e;
  settings().SetInt(PortKey(kProtocolSocks), holder.port(), &e);
  // The holder listens on 127.0.0.1 only; a wildcard bind on the same port still conflicts.
  m->StartServer(kProtocolSocks);
  EXPECT_FALSE(m->Running(kProtocolSocks));
  EXPECT_EQ(boxes_.back(),
            "E:Error starting the SOCKS proxy server. This may be due to another "
            "service running on the port " +
                std::to_string(holder.port()) +
                ", try changing the port number and then starting the server again.");
  m->StopServer(kProtocolSocks);
  m->StopServer(kProtocolFtp);
}

// A proxy started on its own once left out its guest rule and took its speeds without their
// switches: it admitted every guest and ignored limits that were switched off.
TEST_F(ServerManagerTest, SingleStartAppliesTheWholeSettingsAsTheSetDoes) {
  std::string e;
  Settings s = settings();
  s.SetInt(setting::kIpRangeSocksLimit, 1, &e);
  s.SetText(setting::kIpRangeSocks, "10.0.0.1-10.0.0.9", &e);
  s.SetInt(setting::kDownloadLimitSocks, 0, &e);  // switched off: unlimited
  s.SetInt(setting::kDownloadSpeedSocks, 10, &e);
  s.SetInt(setting::kUploadLimitSocks, 1, &e);
  s.SetInt(setting::kUploadSpeedSocks, 5, &e);
  auto m = Make();
  m->StartServer(kProtocolSocks);
  ASSERT_TRUE(m->Running(kProtocolSocks));
  const AuthorizationSettings& single = m->Server(kProtocolSocks).access();
  EXPECT_EQ(single.guestIpRange, "10.0.0.1-10.0.0.9");
  EXPECT_EQ(single.downloadRate, 0);
  EXPECT_EQ(single.uploadRate, 5 * 1024);
  int outside = test::ConnectLoopback(static_cast<uint16_t>(m->Server(kProtocolSocks).port()));
  ASSERT_NE(outside, -1);
  ASSERT_TRUE(test::SendAll(outside, std::string("\x05\x01\x00", 3)));
  EXPECT_TRUE(test::WaitForClose(outside)) << "127.0.0.1 is outside the guest rule";
  close(outside);
  m->StopServer(kProtocolSocks);

  m->StartServers();
  const AuthorizationSettings& set = m->Server(kProtocolSocks).access();
  EXPECT_EQ(set.guestIpRange, "10.0.0.1-10.0.0.9");
  EXPECT_EQ(set.downloadRate, 0);
  EXPECT_EQ(set.uploadRate, 5 * 1024);
  m->StopServers();
}

bool Connects(const char* address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &a.sin_addr);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

TEST_F(ServerManagerTest, ListenAddressBindsThatAddressOnly) {
  std::string e;
  ASSERT_TRUE(settings().SetText(setting::kListenAddress, "127.0.0.1", &e)) << e;
  auto m = Make();
  m->StartServer(kProtocolSocks);
  ASSERT_TRUE(m->Running(kProtocolSocks));
  int port = m->Server(kProtocolSocks).port();
  EXPECT_TRUE(Connects("127.0.0.1", port));
  EXPECT_FALSE(Connects("127.0.0.2", port)) << "another address of the machine is not bound";
  m->StopServer(kProtocolSocks);

  ASSERT_TRUE(settings().SetText(setting::kListenAddress, "not-an-address", &e)) << e;
  m->StartServer(kProtocolSocks);
  EXPECT_FALSE(m->Running(kProtocolSocks)) << "an address that cannot be bound fails the start";
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

TEST_F(ServerManagerTest, AProxyThatCannotListenIsReportedWithPortAndReasonWhileOthersStart) {
  uint16_t taken = 0;
  int holder = test::ListenLoopback(1, &taken);
  ASSERT_GE(holder, 0);
  std::string error;
  ASSERT_TRUE(settings().SetInt(PortKey(kProtocolFtp), taken, &error)) << error;
  auto m = Make(ManagerHost::kService);
  std::vector<std::string> failures;
  m->events.listenFailed = [&](const std::string& line) { failures.push_back(line); };
  m->StartServers();
  EXPECT_TRUE(m->AllServersActive());
  EXPECT_FALSE(m->Running(kProtocolFtp));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], ListenFailureText("FTP", taken, EADDRINUSE));
  m->StopServers();

  // The single start of the page reports the same line besides its message box.
  auto console = Make();
  console->events.listenFailed = [&](const std::string& line) { failures.push_back(line); };
  console->StartServer(kProtocolFtp);
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[1], failures[0]);
  close(holder);
}

// Schedules and web filters were read once when the program started, so an edit in the
// console never reached the proxies until the program itself was restarted.
TEST_F(ServerManagerTest, EveryStartReadsSchedulesAndFiltersAgainWhileRunningProxiesKeepTheirs) {
  std::string e;
  auto add_rules = [&](const std::string& name, int32_t* schedule_id, int32_t* filter_id) {
    ScheduleRecord s;
    s.name = name;
    ASSERT_TRUE(ScheduleTable(dir_).Add(&s, &e)) << e;
    FilterRecord f;
    f.name = name;
    f.webaddresses = name + ".example";
    ASSERT_TRUE(FilterTable(dir_).Add(&f, &e)) << e;
    *schedule_id = s.id;
    *filter_id = f.id;
  };
  int32_t first_schedule = 0, first_filter = 0, next_schedule = 0, next_filter = 0;
  auto m = Make();
  add_rules("first", &first_schedule, &first_filter);
  m->StartServers();
  ASSERT_TRUE(m->Running(kProtocolHttp) && m->Running(kProtocolSocks));
  EXPECT_NE(m->Server(kProtocolHttp).http().webFilters->Find(first_filter), nullptr);
  const ScheduleList* socks_schedules = m->Server(kProtocolSocks).access().schedules;
  ASSERT_NE(socks_schedules, nullptr);
  EXPECT_NE(socks_schedules->Find(first_schedule), nullptr);

  // One proxy started again while another runs: the new one reads the tables, the running
  // one keeps reading the lists it started with.
  m->StopServer(kProtocolHttp);
  add_rules("next", &next_schedule, &next_filter);
  m->StartServer(kProtocolHttp);
  ASSERT_TRUE(m->Running(kProtocolHttp));
  EXPECT_NE(m->Server(kProtocolHttp).http().webFilters->Find(next_filter), nullptr);
  EXPECT_NE(m->Server(kProtocolHttp).access().schedules->Find(next_schedule), nullptr);
  EXPECT_EQ(m->Server(kProtocolSocks).access().schedules, socks_schedules);
  EXPECT_EQ(socks_schedules->Find(next_schedule), nullptr);
  EXPECT_NE(socks_schedules->Find(first_schedule), nullptr) << "the old list is still alive";

  m->StopServers();
  m->StartServers();
  EXPECT_NE(m->Server(kProtocolSocks).access().schedules->Find(next_schedule), nullptr);
  m->StopServers();
}

TEST(ListenFailureTextTest, SaysWhichPortAndWhy) {
  EXPECT_EQ(ListenFailureText("HTTP", 808, EACCES),
            "HTTP proxy could not listen on port 808: permission denied (ports below 1024 need "
            "root rights or CAP_NET_BIND_SERVICE).");
  EXPECT_EQ(ListenFailureText("SOCKS", 1080, EACCES),
            "SOCKS proxy could not listen on port 1080: permission denied.");
  EXPECT_EQ(ListenFailureText("FTP", 2121, EADDRINUSE),
            "FTP proxy could not listen on port 2121: address in use (another program listens "
            "on this port).");
  EXPECT_EQ(ListenFailureText("POP3", 1110, 0),
            "POP3 proxy could not listen on port 1110: the listener could not be set up.");
  EXPECT_EQ(ListenFailureText("SMTP", 2525, EMFILE)
                .rfind("SMTP proxy could not listen on port 2525: t", 0),
            0u)
      << "other errors give the system's text, lower case";
}

}  // namespace
}  // namespace tw
