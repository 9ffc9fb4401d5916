// What the proxies tell about their live client connections (user, destination, bytes each
// way) and what they hand the traffic sink: the same bytes, under the right user, once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>

#include "http_fixture.h"

namespace tw::test {
namespace {

class ConnectionTallyTest : public HttpFixture {
 protected:
  ConnectionTallyTest() { traffic_sink_ = &sink_; }

  // A SOCKS 5 tunnel to destination port `port` logged in as amy; the open client socket.
  int Socks5AsAmy(uint16_t port) {
    int fd = Connect();
    std::string login = B({5, 1, 2}) + B({1, 3}) + "amy" + B({2}) + "pw";
    std::string request = B({5, 1, 0, 1, 127, 0, 0, 1, port >> 8, port & 0xff});
    EXPECT_TRUE(SendAll(fd, login));
    EXPECT_EQ(ReadExactly(fd, 4), B({5, 2, 1, 0}));
    EXPECT_TRUE(SendAll(fd, request));
    EXPECT_EQ(ReadExactly(fd, 10).substr(0, 2), B({5, 0}));
    return fd;
  }

  RecordingTrafficSink sink_;
};

// Bytes relayed through a SOCKS tunnel show in the live list while it is open, the operator
// cuts it off, and the sink then has exactly what the list last showed.
TEST_F(ConnectionTallyTest, SocksTunnelIsListedCountedAndCutOff) {
  AddUserWithRules("amy", "pw", [](AccountRules* r) { r->server5 = 1; });
  NewProxy(kProtocolSocks, 1);
  ASSERT_TRUE(proxy_->Start(settings_));
  TestServer echo(TestServer::kEcho);
  int fd = Socks5AsAmy(echo.port());
  const std::string payload(300000, 'x');
  ASSERT_TRUE(SendAll(fd, payload));
  ASSERT_EQ(ReadExactly(fd, payload.size()).size(), payload.size());

  std::vector<ConnectionView> live;
  ASSERT_TRUE(WaitUntil([&] {
    live = proxy_->LiveConnections();
    return live.size() == 1 && live[0].down == payload.size();
  }));
  const ConnectionView& v = live[0];
  EXPECT_EQ(v.user, "amy");
  EXPECT_EQ(v.destination, "127.0.0.1:" + std::to_string(echo.port()));
  EXPECT_EQ(v.proxy, kProtocolSocks);
  EXPECT_EQ(v.clientAddr, htonl(INADDR_LOOPBACK));
  // Up: the payload and the 21 bytes of the greeting, login and request.
  EXPECT_EQ(v.up, payload.size() + 21);
  EXPECT_EQ(proxy_->Totals().live, 1u);

  EXPECT_FALSE(proxy_->Disconnect(v.id + 1000));
  ASSERT_TRUE(proxy_->Disconnect(v.id));
  EXPECT_TRUE(WaitForClose(fd));
  close(fd);
  ASSERT_TRUE(WaitUntil([this] { return proxy_->LiveContexts() == 0; }));
  ProxyTotals totals = proxy_->Totals();
  EXPECT_EQ(totals.live, 0u);
  EXPECT_EQ(totals.up, v.up);
  EXPECT_EQ(totals.down, v.down);
  auto sums = sink_.Sums();
  ASSERT_EQ(sums.size(), 1u);
  EXPECT_EQ(sums["amy"].up, v.up);
  EXPECT_EQ(sums["amy"].down, v.down);
}

// Several tunnels of one user are all cut by one call; another user's stays.
TEST_F(ConnectionTallyTest, DisconnectUserCutsEveryTunnelOfThatUserOnly) {
  AddUserWithRules("amy", "pw", [](AccountRules* r) { r->server5 = 1; });
  NewProxy(kProtocolSocks, 0);  // guests welcome; amy logs in all the same
  ASSERT_TRUE(proxy_->Start(settings_));
  TestServer echo(TestServer::kEcho);
  int a1 = Socks5AsAmy(echo.port());
  int a2 = Socks5AsAmy(echo.port());
  int guest = Connect();
  ASSERT_TRUE(SendAll(guest, B({5, 1, 0})));
  ASSERT_EQ(ReadExactly(guest, 2), B({5, 0}));
  ASSERT_TRUE(SendAll(guest, B({5, 1, 0, 1, 127, 0, 0, 1, echo.port() >> 8, echo.port() & 0xff})));
  ASSERT_EQ(ReadExactly(guest, 10).substr(0, 2), B({5, 0}));
  ASSERT_TRUE(WaitUntil([this] { return proxy_->LiveConnections().size() == 3; }));

  EXPECT_EQ(proxy_->DisconnectUser(""), 0);
  EXPECT_EQ(proxy_->DisconnectUser("amy"), 2);
  EXPECT_TRUE(WaitForClose(a1));
  EXPECT_TRUE(WaitForClose(a2));
  ASSERT_TRUE(SendAll(guest, "still here"));
  EXPECT_EQ(ReadExactly(guest, 10), "still here");
  // A cut tunnel leaves the list once its worker has freed it, just after its client saw it end.
  ASSERT_TRUE(WaitUntil([this] { return proxy_->LiveConnections().size() == 1; }));
  std::vector<ConnectionView> left = proxy_->LiveConnections();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].user, "");
  for (int fd : {a1, a2, guest}) close(fd);
}

// One kept-alive HTTP client that logs in as a different user per request: each request's
// bytes, and its response's, are booked under the user that request named.
TEST_F(ConnectionTallyTest, HttpBooksEachRequestUnderItsOwnUser) {
  AddUser("bob", "secret");
  AddUser("amy", "pw");
  StartProxy(1);
  const std::string body(50000, 'b');
  RecordingOrigin origin([&](const std::string&, int) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  });
  const std::string h = origin.Host();
  auto request = [&](const char* credentials, const char* path) {
    return "GET http://" + h + path + " HTTP/1.1\r\nHost: " + h +
           "\r\nProxy-Authorization: Basic " + credentials + "\r\n\r\n";
  };
  const std::string first = request("Ym9iOnNlY3JldA==", "/one");  // bob:secret
  const std::string second = request("YW15OnB3", "/second");     // amy:pw
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, first));
  std::string answer1 = ReadResponse(fd);
  ASSERT_TRUE(SendAll(fd, second));
  std::string answer2 = ReadResponse(fd);
  ASSERT_EQ(answer1.size(), answer2.size());
  close(fd);
  ASSERT_TRUE(WaitUntil([this] { return proxy_->LiveContexts() == 0; }));
  auto sums = sink_.Sums();
  ASSERT_EQ(sums.size(), 2u);
  EXPECT_EQ(sums["bob"].up, first.size());
  EXPECT_EQ(sums["amy"].up, second.size());
  // Down: what the origin sent (the proxy's own rewriting of the head aside, both the same).
  EXPECT_GE(sums["bob"].down, body.size());
  EXPECT_EQ(sums["bob"].down, sums["amy"].down);
}

}  // namespace
}  // namespace tw::test
