// kestrane as a process: started in the foreground on a data directory of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "config/account_tables.h"
#include "config/data_dir.h"
#include "config/settings.h"
#include "tablestore/sdb_table.h"
#include "tests/support/child_process.h"
#include "tests/support/test_sockets.h"

namespace tw::test {
namespace {

const std::string kKestrane = std::string(TW_BIN_DIR) + "/kestrane";
const std::vector<std::string> kNoSystemd = {"NOTIFY_SOCKET", "INVOCATION_ID"};

class KestraneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tw-kestrane-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    std::string e;
    for (int id = 1; id <= 5; ++id) {
      ports_[id] = FreeLoopbackPort();
      ASSERT_TRUE(Settings::InDataDir(dir_).SetInt(PortKey(id), ports_[id], &e)) << e;
    }
    // The origins of these tests run on loopback.
    ASSERT_TRUE(Settings::InDataDir(dir_).SetInt(setting::kAllowLocalDestinations, 1, &e)) << e;
  }
  void TearDown() override { RunCommand("rm -rf '" + dir_ + "'"); }

  std::unique_ptr<ChildProcess> Start() {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{kKestrane, "--foreground", "--data", dir_}, kNoSystemd);
  }

  std::string ServiceLogText() {
    std::ifstream f(DataFilePath(dir_, "kestrane.log"));
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }

  std::string dir_;
  int ports_[6] = {};
};

TEST_F(KestraneTest, FromATerminalWithoutSwitchItPrintsTheBannerAndExits) {
  ChildProcess p({kKestrane, "--data", dir_}, kNoSystemd);
  EXPECT_EQ(p.WaitExit(), 0);
  EXPECT_NE(p.output().find("usage: kestrane"), std::string::npos) << p.output();
  ChildProcess bad({kKestrane, "-U"}, kNoSystemd);
  EXPECT_EQ(bad.WaitExit(), 2) << "an upper-case letter is not a switch";
}

TEST_F(KestraneTest, ServiceCommandsWithoutSystemdSaySo) {
  if (access("/run/systemd/system", F_OK) == 0) GTEST_SKIP() << "systemd runs here";
  for (const char* sw : {"-i", "-u", "-s", "-e"}) {
    ChildProcess p({kKestrane, sw, "--data", dir_}, kNoSystemd);
    EXPECT_EQ(p.WaitExit(), 1) << sw;
    EXPECT_NE(p.output().find("systemd is not running"), std::string::npos) << p.output();
  }
}

TEST_F(KestraneTest, RunsTheProxiesUntilSigtermAndFreesThePorts) {
  auto p = Start();
  ASSERT_TRUE(p->WaitForLine("SOCKS proxy listening on 0.0.0.0:" + std::to_string(ports_[5])))
      << p->output();
  TestServer origin(TestServer::kHttp);
  int status = 0;
  std::string body =
      RunCommand("curl -s --max-time 20 --socks5-hostname 127.0.0.1:" + std::to_string(ports_[5]) +
                     " http://localhost:" + std::to_string(origin.port()) + "/",
                 &status);
  EXPECT_EQ(body, TestServer::kHttpBody);
  // Local destinations are allowed, but no proxy is made to connect to another one's port.
  RunCommand("curl -s --max-time 20 --socks5-hostname 127.0.0.1:" + std::to_string(ports_[5]) +
                 " http://localhost:" + std::to_string(ports_[1]) + "/",
             &status);
  EXPECT_NE(status, 0) << "SOCKS to the HTTP proxy's own port is refused";
  p->Signal(SIGTERM);
  EXPECT_EQ(p->WaitExit(), 0);
  EXPECT_NE(p->output().find("Tarnwick Proxy Service stopped."), std::string::npos);
  // The port is free again.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(ports_[5]));
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  close(fd);

  // Every line of kestrane.log: "dd/mm/yyyy HH:MM:SS.mmm " and the message.
  std::string log = ServiceLogText();
  std::istringstream lines(log);
  std::string line;
  int count = 0;
  std::regex format(R"(^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} \S.*$)");
  while (std::getline(lines, line)) {
    EXPECT_TRUE(std::regex_match(line, format)) << line;
    ++count;
  }
  EXPECT_GE(count, 4);
  EXPECT_NE(log.find(" Socks Proxy Server started on port " + std::to_string(ports_[5]) + ".\n"),
            std::string::npos);
  EXPECT_NE(log.find(" Proxy Servers stopped.\n"), std::string::npos);
  EXPECT_NE(log.find(" Tarnwick Proxy Service stopping...\n"), std::string::npos);

  // What the service made beside them (kestrane.lock, the log, the tables) is its own only.
  auto octal = [](std::filesystem::perms p) {
    char text[8];
    std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(p));
    return std::string(text);
  };
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir_)) {
    EXPECT_EQ(octal(e.symlink_status().permissions()), e.is_directory() ? "700" : "600")
        << e.path();
  }
}

TEST_F(KestraneTest, SecondInstanceOnTheSameDataDirectoryEndsAtOnce) {
  auto first = Start();
  ASSERT_TRUE(first->WaitForLine("listening on"));
  auto second = Start();
  EXPECT_EQ(second->WaitExit(), 1);
  EXPECT_NE(second->output().find("another instance"), std::string::npos) << second->output();
  first->Signal(SIGINT);
  EXPECT_EQ(first->WaitExit(), 0);
}

TEST_F(KestraneTest, EveryProxyDisabledEndsWithNoServersToStart) {
  auto p = Start();  // the first run makes the fresh installation
  ASSERT_TRUE(p->WaitForLine("listening on"));
  p->Signal(SIGTERM);
  ASSERT_EQ(p->WaitExit(), 0);
  for (int id = 1; id <= 5; ++id) {
    ServerRecord r;
    ASSERT_TRUE(ServerTable(dir_).FindById(id, &r));
    r.disable = 1;
    std::string e;
    ASSERT_TRUE(ServerTable(dir_).Update(r, &e)) << e;
  }
  p = Start();
  EXPECT_EQ(p->WaitExit(), 0) << "ends by itself";
  EXPECT_NE(p->output().find("No servers to start"), std::string::npos) << p->output();
  EXPECT_NE(p->output().find("Socks Proxy Server failed to listen on port"), std::string::npos);
}

TEST_F(KestraneTest, APortInUseFailsOnlyThatProxy) {
  TestServer holder(TestServer::kSink);
  std::string e;
  ASSERT_TRUE(Settings::InDataDir(dir_).SetInt(PortKey(kProtocolHttp), holder.port(), &e));
  auto p = Start();
  ASSERT_TRUE(p->WaitForLine("SOCKS proxy listening on 0.0.0.0:" + std::to_string(ports_[5])))
      << p->output();
  p->Signal(SIGTERM);
  EXPECT_EQ(p->WaitExit(), 0);
  EXPECT_EQ(p->output().find("HTTP proxy listening"), std::string::npos) << p->output();
}

TEST_F(KestraneTest, TheServiceTableDescriptionNamesTheService) {
  SdbTable t;
  ASSERT_TRUE(t.CreateField("name", SdbTable::String, 32));
  ASSERT_TRUE(t.CreateKey("name", SdbTable::KeyUnique, 0, 1, 0, 32));
  ASSERT_TRUE(t.Create(DataFilePath(dir_, "service.sdb"), "Other Proxy Name"));
  t.Close();
  auto p = Start();
  ASSERT_TRUE(p->WaitForLine("listening on"));
  p->Signal(SIGTERM);
  EXPECT_EQ(p->WaitExit(), 0);
  EXPECT_NE(p->output().find("Other Proxy Name stopping..."), std::string::npos) << p->output();
  EXPECT_NE(ServiceLogText().find(" Other Proxy Name stopped.\n"), std::string::npos);
}

// Counts a scraper sees after a SOCKS tunnel moved a known number of bytes: read over the
// metrics listener with curl while the tunnel is still open.
// Also: with Savelog on, the tunnel's line reaches the daily activity file.
TEST_F(KestraneTest, MetricsShowTheBytesASocksTunnelRelayed) {
  std::string e;
  ASSERT_TRUE(Settings::InDataDir(dir_).SetText(setting::kMetricsAddress, "127.0.0.1:0", &e)) << e;
  ASSERT_TRUE(Settings::InDataDir(dir_).SetInt(setting::kSavelog, 1, &e)) << e;
  auto p = Start();
  ASSERT_TRUE(p->WaitForLine("SOCKS proxy listening on")) << p->output();
  std::smatch served;
  std::string output = p->output();
  ASSERT_TRUE(
      std::regex_search(output, served, std::regex(R"(Metrics served on 127\.0\.0\.1:(\d+))")))
      << output;
  std::string metrics_url = "http://127.0.0.1:" + served[1].str() + "/metrics";

  TestServer echo(TestServer::kEcho);
  int fd = ConnectLoopback(static_cast<uint16_t>(ports_[5]));
  ASSERT_NE(fd, -1);
  ASSERT_TRUE(SendAll(fd, std::string("\x05\x01\x00", 3)));
  ASSERT_EQ(ReadExactly(fd, 2), std::string("\x05\x00", 2));
  std::string request("\x05\x01\x00\x01\x7f\x00\x00\x01", 8);
  request += static_cast<char>(echo.port() >> 8);
  request += static_cast<char>(echo.port() & 0xff);
  ASSERT_TRUE(SendAll(fd, request));
  ASSERT_EQ(ReadExactly(fd, 10).substr(0, 2), std::string("\x05\x00", 2));
  const std::string payload(100000, 'm');
  ASSERT_TRUE(SendAll(fd, payload));
  ASSERT_EQ(ReadExactly(fd, payload.size()).size(), payload.size());

  int status = 0;
  std::string text = RunCommand("curl -s --max-time 20 " + metrics_url, &status);
  ASSERT_EQ(status, 0) << text;
  auto value = [&text](const std::string& sample) -> uint64_t {
    std::size_t at = text.find("\n" + sample + " ");
    if (at == std::string::npos) return 0;
    return std::stoull(text.substr(at + sample.size() + 2));
  };
  EXPECT_GE(value(R"(tarnwick_relayed_bytes_total{proxy="socks",direction="up"})"), payload.size())
      << text;
  EXPECT_GE(value(R"(tarnwick_relayed_bytes_total{proxy="socks",direction="down"})"),
            payload.size());
  EXPECT_EQ(value(R"(tarnwick_connections_accepted_total{proxy="socks"})"), 1u);
  EXPECT_EQ(value(R"(tarnwick_connections_live{proxy="socks"})"), 1u);
  EXPECT_EQ(value(R"(tarnwick_connect_duration_seconds_count{proxy="socks"})"), 1u);
  // Anything but GET /metrics is not found.
  std::string code = RunCommand("curl -s -o /dev/null -w '%{http_code}' --max-time 20 " +
                                metrics_url.substr(0, metrics_url.size() - 7) + "/other");
  EXPECT_EQ(code, "404");
  close(fd);
  p->Signal(SIGTERM);
  EXPECT_EQ(p->WaitExit(), 0);
  std::string activity;
  for (const auto& f : std::filesystem::directory_iterator(dir_ + "/log")) {
    std::ifstream in(f.path());
    activity.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_NE(activity.find("\"Socks5 127.0.0.1\""), std::string::npos) << activity;
}

TEST_F(KestraneTest, ABadMetricsAddressIsOneLineAndTheProxiesRun) {
  std::string e;
  ASSERT_TRUE(Settings::InDataDir(dir_).SetText(setting::kMetricsAddress, "localhost:x", &e)) << e;
  auto p = Start();
  ASSERT_TRUE(p->WaitForLine("SOCKS proxy listening on")) << p->output();
  EXPECT_NE(p->output().find("Metrics not served: metrics_address \"localhost:x\""),
            std::string::npos)
      << p->output();
  p->Signal(SIGTERM);
  EXPECT_EQ(p->WaitExit(), 0);
}

}  // namespace
}  // namespace tw::test
