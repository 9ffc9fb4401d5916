// The three places a program shows relayed bytes agree: the live list, the monitoring text and
// the daily traffic files, for a known number of bytes through two proxies of one manager.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "config/installation.h"
#include "config/protocols.h"
#include "config/settings.h"
#include "config/traffic_report.h"
#include "hosting/metrics_text.h"
#include "hosting/server_manager.h"
#include "hosting/traffic_recording.h"
#include "platform/clock.h"
#include "proxy_fixture.h"

namespace tw::test {
namespace {

// The value of one sample line of the monitoring text; -1 when it is missing.
long long MetricValue(const std::string& text, const std::string& sample) {
  size_t at = text.find("\n" + sample + " ");
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + sample.size() + 2));
}

std::string Bytes(const char* proxy, const char* direction) {
  return std::string("tarnwick_relayed_bytes_total{proxy=\"") + proxy + "\",direction=\"" +
         direction + "\"}";
}

TEST(TrafficFiguresTest, LiveListMetricsAndDailyFilesShowTheSameBytes) {
  char dir_template[] = "/tmp/tw-figures-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  std::string error;
  ASSERT_TRUE(InstallMissingDataFiles(dir, &error)) << error;
  Settings settings = Settings::InDataDir(dir);
  for (int id = kFirstProtocol; id <= kLastProtocol; ++id) {
    ASSERT_TRUE(settings.SetInt(PortKey(id), 0, &error)) << error;
  }
  ASSERT_TRUE(settings.SetInt(setting::kAllowLocalDestinations, 1, &error)) << error;

  TestServer echo(TestServer::kEcho);
  const uint16_t port = echo.port();
  const size_t socks_bytes = 200000, http_bytes = 120000;
  long long socks_up = 0, http_up = 0;
  int today = 0;
  {
    TrafficRecording recording(dir, "service", SystemClock::Instance());
    ServerManager manager(ManagerHost::kService, dir, [](const std::string&) {});
    manager.SetTrafficSink(&recording);
    recording.SetCollector([&manager] { manager.ReportTraffic(); });
    manager.StartServers();
    ASSERT_TRUE(manager.Running(kProtocolSocks) && manager.Running(kProtocolHttp));

    int socks = ConnectLoopback(static_cast<uint16_t>(manager.Server(kProtocolSocks).port()));
    const std::string socks_request = B({5, 1, 0}) + B({5, 1, 0, 1, 127, 0, 0, 1, port >> 8, port & 0xff});
    ASSERT_TRUE(SendAll(socks, socks_request));
    ASSERT_EQ(ReadExactly(socks, 12).substr(0, 4), B({5, 0, 5, 0}));
    int http = ConnectLoopback(static_cast<uint16_t>(manager.Server(kProtocolHttp).port()));
    const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(port) + " HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(SendAll(http, connect));
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
      std::string c = ReadExactly(http, 1);
      ASSERT_FALSE(c.empty()) << head;
      head += c;
    }
    ASSERT_EQ(head.substr(0, 12), "HTTP/1.0 200") << head;
    ASSERT_TRUE(SendAll(socks, std::string(socks_bytes, 's')));
    ASSERT_TRUE(SendAll(http, std::string(http_bytes, 'h')));
    ASSERT_EQ(ReadExactly(socks, socks_bytes).size(), socks_bytes);
    ASSERT_EQ(ReadExactly(http, http_bytes).size(), http_bytes);
    socks_up = static_cast<long long>(socks_bytes + socks_request.size());
    http_up = static_cast<long long>(http_bytes + connect.size());

    // Live: one guest row per proxy with the bytes so far.
    std::vector<ConnectionView> live;
    ASSERT_TRUE(WaitUntil([&] {
      live = manager.LiveConnections();
      return live.size() == 2 && live[0].down == http_bytes && live[1].down == socks_bytes;
    }));
    EXPECT_EQ(live[0].proxy, kProtocolHttp);
    EXPECT_EQ(static_cast<long long>(live[0].up), http_up);
    EXPECT_EQ(static_cast<long long>(live[1].up), socks_up);
    EXPECT_EQ(live[1].destination, "127.0.0.1:" + std::to_string(port));
    std::string text = ManagerMetricsText(manager);
    EXPECT_EQ(MetricValue(text, Bytes("socks", "up")), socks_up) << text;
    EXPECT_EQ(MetricValue(text, Bytes("socks", "down")), static_cast<long long>(socks_bytes));
    EXPECT_EQ(MetricValue(text, Bytes("http", "up")), http_up);
    EXPECT_EQ(MetricValue(text, Bytes("http", "down")), static_cast<long long>(http_bytes));
    EXPECT_EQ(MetricValue(text, "tarnwick_connections_live{proxy=\"socks\"}"), 1);

    // A flush while they are open already writes their bytes to today's file.
    ASSERT_TRUE(recording.Flush(&error)) << error;
    today = recording.Today();
    TrafficReport report = ReadTrafficReport(dir, today, today);
    EXPECT_EQ(static_cast<long long>(report.proxies[kProtocolSocks].up), socks_up);
    EXPECT_EQ(static_cast<long long>(report.proxies[kProtocolHttp].down), http_bytes);

    close(socks);
    close(http);
    ASSERT_TRUE(WaitUntil([&] { return manager.LiveConnections().empty(); }));
    text = ManagerMetricsText(manager);
    EXPECT_EQ(MetricValue(text, Bytes("socks", "up")), socks_up);
    EXPECT_EQ(MetricValue(text, "tarnwick_connections_live{proxy=\"socks\"}"), 0);
    manager.StopServers();
    recording.Stop();
    recording.SetCollector(nullptr);
  }
  // After the stop, each figure once in the file, under the guest's address.
  TrafficReport report = ReadTrafficReport(dir, today, today);
  ASSERT_EQ(report.accounts.size(), 1u);
  EXPECT_EQ(report.accounts[0].account, TrafficAccount::Guest(htonl(INADDR_LOOPBACK)));
  EXPECT_EQ(static_cast<long long>(report.proxies[kProtocolSocks].up), socks_up);
  EXPECT_EQ(report.proxies[kProtocolSocks].down, socks_bytes);
  EXPECT_EQ(static_cast<long long>(report.proxies[kProtocolHttp].up), http_up);
  EXPECT_EQ(report.proxies[kProtocolHttp].down, http_bytes);
  RunCommand("rm -rf '" + dir + "'");
}

}  // namespace
}  // namespace tw::test
