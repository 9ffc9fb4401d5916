// The SOCKS proxy as clients see it: curl through every version, and raw sockets for the exact
// reply bytes, split and joined messages, refusals and malformed input.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>

#include "engine/policy/local_addresses.h"
#include "socks_fixture.h"

namespace tw::test {
namespace {

std::string PortBytes(uint16_t port) {
  return B({port >> 8, port & 0xff});
}

std::string OwnAddressBytes() {
  uint8_t a[4] = {0, 0, 0, 0};
  LocalFirstAddress(a);
  return std::string(reinterpret_cast<char*>(a), 4);
}

class SocksProxyTest : public SocksFixture {
 protected:
  uint64_t Refused(Refusal r) {
    return proxy_->counters().Snapshot().refused[static_cast<size_t>(r)];
  }
};

TEST_F(SocksProxyTest, CurlReachesTheOriginThroughEveryVersion) {
  StartProxy();
  TestServer origin(TestServer::kHttp);
  const char* flags[] = {"--socks4", "--socks4a", "--socks5", "--socks5-hostname"};
  for (const char* flag : flags) {
    int status = 0;
    std::string body =
        RunCommand("curl -s --max-time 20 " + std::string(flag) +
                       " 127.0.0.1:" + std::to_string(proxy_->port()) +
                       " http://localhost:" + std::to_string(origin.port()) + "/page",
                   &status);
    EXPECT_EQ(status, 0) << flag;
    EXPECT_EQ(body, TestServer::kHttpBody) << flag;
  }
  std::vector<std::string> logged = Logged();
  ASSERT_EQ(logged.size(), 4u);
  EXPECT_EQ(logged[0], "Socks4 127.0.0.1:127.0.0.1");
  EXPECT_EQ(logged[1], "Socks4a localhost:127.0.0.1");
  EXPECT_EQ(logged[2], "Socks5 127.0.0.1:127.0.0.1");
  EXPECT_EQ(logged[3], "Socks5 localhost:127.0.0.1");
}

TEST_F(SocksProxyTest, CurlLogsInWithUserAndPassword) {
  AddUser("bob", "s3cret", 1);
  AddUser("eve", "pw", 0);  // no rights on this proxy and no group
  StartProxy(/*authMode=*/1);
  TestServer origin(TestServer::kHttp);
  std::string url = " http://localhost:" + std::to_string(origin.port()) + "/";
  std::string proxy = "@127.0.0.1:" + std::to_string(proxy_->port());
  int status = 0;
  EXPECT_EQ(RunCommand("curl -s --max-time 20 -x socks5h://bob:s3cret" + proxy + url, &status),
            TestServer::kHttpBody);
  EXPECT_EQ(status, 0);
  for (const char* creds : {"bob:wrong", "eve:pw", "nobody:x"}) {
    RunCommand("curl -s --max-time 20 -x socks5h://" + std::string(creds) + proxy + url, &status);
    EXPECT_NE(status, 0) << creds << " must be refused";
  }
  RunCommand("curl -s --max-time 20 --socks5 127.0.0.1:" + std::to_string(proxy_->port()) + url,
             &status);
  EXPECT_NE(status, 0) << "no authentication is refused when login is required";
  for (const char* version : {"--socks4 ", "--socks4a "}) {
    RunCommand("curl -s --max-time 20 " + std::string(version) +
                   "bob@127.0.0.1:" + std::to_string(proxy_->port()) + url,
               &status);
    EXPECT_NE(status, 0) << version << "carries no password: refused when login is required";
  }
  std::vector<std::string> logged = Logged();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "Socks5 localhost:127.0.0.1,bob");
  CounterFigures counted = proxy_->counters().Snapshot();
  EXPECT_EQ(counted.loginsOk, 1u);
  EXPECT_EQ(counted.loginsFailed, 3u) << "a wrong password, no rights here, no such user";
  EXPECT_EQ(counted.accepted, 7u);
  uint64_t lookups = 0, connects = 0;
  for (size_t i = 0; i < kLatencyBuckets; ++i) {
    lookups += counted.resolve.buckets[i];
    connects += counted.connect.buckets[i];
  }
  EXPECT_EQ(lookups, 1u) << "bob's localhost";
  EXPECT_EQ(connects, 1u);
}

// A login name holding ":" and "," stays whole in the user column, and the address column
// holds only the client's address.
TEST_F(SocksProxyTest, LoginNameWithColonAndCommaStaysInItsColumn) {
  AddUser("b:o,b", "pw", 1);
  StartProxy(/*authMode=*/1);
  TestServer origin(TestServer::kHttp);
  int status = 0;
  EXPECT_EQ(RunCommand("curl -s --max-time 20 -x 'socks5h://b%3Ao%2Cb:pw@127.0.0.1:" +
                           std::to_string(proxy_->port()) +
                           "' http://localhost:" + std::to_string(origin.port()) + "/",
                       &status),
            TestServer::kHttpBody);
  EXPECT_EQ(status, 0);
  std::vector<ActivityText> logged = LoggedParts();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].description, "Socks5 localhost");
  EXPECT_EQ(logged[0].address, "127.0.0.1");
  EXPECT_EQ(logged[0].user, "b:o,b");
}

TEST_F(SocksProxyTest, Socks4RepliesByteForByte) {
  StartProxy();
  TestServer echo(TestServer::kEcho);
  int fd = Connect();
  ASSERT_TRUE(SendAll(
      fd, B({4, 1}) + PortBytes(echo.port()) + B({127, 0, 0, 1}) + "user" + B({0}) + "ping"));
  EXPECT_EQ(ReadExactly(fd, 8),
            B({0, 90}) + PortBytes(static_cast<uint16_t>(proxy_->port())) + OwnAddressBytes());
  EXPECT_EQ(ReadExactly(fd, 4), "ping") << "bytes sent behind the request are relayed";
  close(fd);

  fd = Connect();  // BIND is refused
  ASSERT_TRUE(SendAll(fd, B({4, 2}) + PortBytes(echo.port()) + B({127, 0, 0, 1, 0})));
  EXPECT_EQ(ReadExactly(fd, 8), B({0, 91, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(WaitForClose(fd));
  close(fd);

  fd = Connect();  // 0.0.0.0 is plain SOCKS 4, not 4a
  ASSERT_TRUE(SendAll(fd, B({4, 1}) + PortBytes(echo.port()) + B({0, 0, 0, 0, 0})));
  EXPECT_EQ(ReadExactly(fd, 2), B({0, 90}));
  close(fd);
  EXPECT_EQ(Logged().back(), "Socks4 0.0.0.0:127.0.0.1");
}

TEST_F(SocksProxyTest, GuestRuleDecidesSocks4AndUnauthenticatedSocks5) {
  StartProxy(0, "10.9.9.1-10.9.9.50");
  TestServer echo(TestServer::kEcho);
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, B({4, 1}) + PortBytes(echo.port()) + B({127, 0, 0, 1, 0})));
  EXPECT_EQ(ReadExactly(fd, 8), B({0, 91, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(WaitForClose(fd));
  close(fd);
  fd = Connect();
  ASSERT_TRUE(SendAll(fd, B({5, 1, 0})));
  EXPECT_EQ(ReadExactly(fd, 2), B({5, 255}));
  EXPECT_TRUE(WaitForClose(fd));
  close(fd);
  EXPECT_TRUE(Logged().empty());
  EXPECT_EQ(Refused(Refusal::kGuestNotAllowed), 2u);
}

TEST_F(SocksProxyTest, RepeatedWrongLoginsBlockTheAddressForAMinute) {
  AddUser("bob", "s3cret", 1);
  StartProxy(/*authMode=*/1);
  TestServer origin(TestServer::kHttp);
  std::string url = " http://localhost:" + std::to_string(origin.port()) + "/";
  std::string proxy = "@127.0.0.1:" + std::to_string(proxy_->port());
  int status = 0;
  for (int i = 0; i < 5; ++i) {
    RunCommand("curl -s --max-time 20 -x socks5h://bob:wrong" + proxy + url, &status);
    EXPECT_NE(status, 0);
  }
  RunCommand("curl -s --max-time 20 -x socks5h://bob:s3cret" + proxy + url, &status);
  EXPECT_NE(status, 0) << "even the right password waits out the block";
  EXPECT_EQ(proxy_->counters().Snapshot().loginsFailed, 5u);
  EXPECT_EQ(Refused(Refusal::kLoginsBlocked), 1u);
  EXPECT_EQ(Logged(), std::vector<std::string>{
                          "Login attempts refused for a minute: too many failures:127.0.0.1"});
}

TEST_F(SocksProxyTest, WrongVersionBytesAreClosedNeverAnswered) {
  AddUser("bob", "s3cret", 1);
  StartProxy();
  int fd = Connect();  // a greeting of another version: no method is acceptable
  ASSERT_TRUE(SendAll(fd, B({6, 1, 0})));
  EXPECT_EQ(ReadExactly(fd, 2), B({5, 255}));
  EXPECT_TRUE(WaitForClose(fd));
  close(fd);
  fd = Connect();  // a request of version 4 after a SOCKS 5 greeting
  ASSERT_TRUE(SendAll(fd, B({5, 1, 0})));
  EXPECT_EQ(ReadExactly(fd, 2), B({5, 0}));
  ASSERT_TRUE(SendAll(fd, B({4, 1, 0, 1, 127, 0, 0, 1, 0, 80})));
  EXPECT_EQ(ReadExactly(fd, 1), "") << "closed without a reply";
  close(fd);
  fd = Connect();  // a login sub-negotiation of version 5
  ASSERT_TRUE(SendAll(fd, B({5, 1, 2})));
  EXPECT_EQ(ReadExactly(fd, 2), B({5, 2}));
  ASSERT_TRUE(SendAll(fd, B({5, 3}) + "bob" + B({6}) + "s3cret"));
  EXPECT_EQ(ReadExactly(fd, 1), "") << "closed without a reply";
  close(fd);
}

TEST_F(SocksProxyTest, GuestsOnlyFromTheAttachedNetworks) {
  NewProxy(kProtocolSocks).attachedNetworks = std::vector<Ipv4Network>{{0x0a090900, 0xffffff00}};
  ASSERT_TRUE(proxy_->Start(settings_));
  int fd = Connect();  // from 127.0.0.1, which is not on 10.9.9.0/24
  ASSERT_TRUE(SendAll(fd, B({5, 1, 0})));
  EXPECT_EQ(ReadExactly(fd, 2), B({5, 255}));
  EXPECT_TRUE(WaitForClose(fd));
  close(fd);
  EXPECT_EQ(Logged(), std::vector<std::string>{"Guest refused: not on a local network:127.0.0.1"});
}

TEST_F(SocksProxyTest, Socks4aHostNameInALaterPacket) {
  StartProxy();
  TestServer echo(TestServer::kEcho);
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, B({4, 1}) + PortBytes(echo.port()) + B({0, 0, 0, 7}) + "id" + B({0})));
  PacketGap();
  EXPECT_TRUE(NothingReadable(fd));
  ASSERT_TRUE(SendAll(fd, std::string("localhost") + B({0})));
  EXPECT_EQ(ReadExactly(fd, 2), B({0, 90}));
  ReadExactly(fd, 6);
  ASSERT_TRUE(SendAll(fd, "data"));
  EXPECT_EQ(ReadExactly(fd, 4), "data");
  close(fd);
  EXPECT_TRUE(WaitForLogged("Socks4a- localhost:127.0.0.1")) << testing::PrintToString(Logged());
}

// A destination not reached is answered in each version's words before the close: SOCKS 4 and
// 4a "rejected" (91), SOCKS 5 "host unreachable" (4) for a name that does not resolve in time,
// "connection refused" (5) for a port nobody listens on.
TEST_F(SocksProxyTest, UnresolvedOrUnreachableDestinationsGetTheVersionsFailure) {
  UseSilentDns();
  StartProxy();
  const std::string name = "nowhere.test";
  const std::string port = PortBytes(1);  // nobody listens on 127.0.0.1:1
  struct Case {
    const char* what;
    std::string request, reply;
  } cases[] = {
      {"socks4a name", B({4, 1}) + port + B({0, 0, 0, 1}) + "u" + B({0}) + name + B({0}),
       B({0, 91, 0, 0, 0, 0, 0, 0})},
      {"socks4 refused", B({4, 1}) + port + B({127, 0, 0, 1}) + "u" + B({0}),
       B({0, 91, 0, 0, 0, 0, 0, 0})},
      {"socks5 name", B({5, 1, 0, 5, 1, 0, 3, static_cast<int>(name.size())}) + name + port,
       B({5, 0, 5, 4, 0, 1, 0, 0, 0, 0, 0, 0})},
      {"socks5 refused", B({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + port,
       B({5, 0, 5, 5, 0, 1, 0, 0, 0, 0, 0, 0})},
  };
  for (const Case& c : cases) {
    int fd = Connect();
    ASSERT_TRUE(SendAll(fd, c.request));
    EXPECT_EQ(ReadUntilClose(fd), c.reply) << c.what;
    close(fd);
  }
}

// A client whose destination does not answer yet holds no buffer while it waits: a burst of
// clients to a slow destination costs no memory for bytes. (Every other test here takes the
// buffer back when its connect ends.)
TEST_F(SocksProxyTest, ClientWaitingForItsDestinationHoldsNoBuffer) {
  StartProxy();
  // A destination whose queue is full drops further SYNs, so the proxy's connect waits.
  uint16_t port = 0;
  int full = ListenLoopback(0, &port);
  ASSERT_GE(full, 0);
  int queued[2] = {ConnectLoopback(port), ConnectLoopback(port, 200)};
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, B({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + PortBytes(port)));
  EXPECT_EQ(ReadExactly(fd, 2), B({5, 0}));
  EXPECT_TRUE(WaitUntil([] { return IoBuffersInUse() == 0; }))
      << IoBuffersInUse() << " buffers held while the connect waits";
  EXPECT_TRUE(NothingReadable(fd)) << "the connect should still be waiting";
  close(fd);
  for (int q : queued) close(q);
  close(full);
}

TEST_F(SocksProxyTest, Socks5RepliesByteForByte) {
  StartProxy();
  TestServer echo(TestServer::kEcho);
  const std::string succeeded =
      B({5, 0, 0, 1}) + OwnAddressBytes() + PortBytes(static_cast<uint16_t>(proxy_->port()));
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, B({5, 1, 0})));
  EXPECT_EQ(ReadExactly(fd, 2), B({5, 0}));
  ASSERT_TRUE(SendAll(fd, B({5, 1, 0, 1, 127, 0, 0, 1}) + PortBytes(echo.port())));
  EXPECT_EQ(ReadExactly(fd, 10), succeeded);
  ASSERT_TRUE(SendAll(fd, "hello"));
  EXPECT_EQ(ReadExactly(fd, 5), "hello");
  close(fd);

  fd = Connect();  // login offered: asked for it even though login is not required
  ASSERT_TRUE(SendAll(fd, B({5, 2, 0, 2})));
  EXPECT_EQ(ReadExactly(fd, 2), B({5, 2}));
  close(fd);

  fd = Connect();  // BIND: command not supported
  ASSERT_TRUE(SendAll(fd, B({5, 1, 0}) + B({5, 2, 0, 1, 127, 0, 0, 1, 0, 80})));
  EXPECT_EQ(ReadExactly(fd, 2), B({5, 0}));
  EXPECT_EQ(ReadExactly(fd, 10), B({5, 7, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(WaitForClose(fd));
  close(fd);

  fd = Connect();  // IPv6: closed without a reply
  ASSERT_TRUE(SendAll(fd, B({5, 1, 0})));
  ASSERT_EQ(ReadExactly(fd, 2), B({5, 0}));
  ASSERT_TRUE(SendAll(fd, B({5, 1, 0, 4}) + std::string(16, '\1') + B({0, 80})));
  EXPECT_EQ(ReadUntilClose(fd), "");
  close(fd);
  std::vector<std::string> logged = Logged();
  EXPECT_EQ(logged.back(), "Socks5 bind ");
}

// A SOCKS 5 login makes the connection the user's whichever form the request names the
// destination in, so the live list shows it and Disconnect user cuts it. A request by address
// once left the connection a guest's.
TEST_F(SocksProxyTest, Socks5LoginNamesTheLiveConnectionsUserByAddressOrByName) {
  AddUser("bob", "pw", 1);
  StartProxy(/*authMode=*/1);
  TestServer echo(TestServer::kEcho);
  const std::string login = B({1, 3}) + "bob" + B({2}) + "pw";
  const std::string requests[] = {B({5, 1, 0, 1, 127, 0, 0, 1}) + PortBytes(echo.port()),
                                  B({5, 1, 0, 3, 9}) + "localhost" + PortBytes(echo.port())};
  std::vector<int> clients;
  for (const std::string& request : requests) {
    int fd = Connect();
    ASSERT_TRUE(SendAll(fd, B({5, 1, 2}) + login + request));
    EXPECT_EQ(ReadExactly(fd, 2), B({5, 2}));
    EXPECT_EQ(ReadExactly(fd, 2), B({1, 0}));
    EXPECT_EQ(ReadExactly(fd, 10).substr(0, 2), B({5, 0}));
    ASSERT_TRUE(SendAll(fd, "hello"));
    EXPECT_EQ(ReadExactly(fd, 5), "hello");
    clients.push_back(fd);
  }
  std::vector<ConnectionView> live = proxy_->LiveConnections();
  ASSERT_EQ(live.size(), 2u);
  for (const ConnectionView& c : live) EXPECT_EQ(c.user, "bob") << c.destination;
  EXPECT_EQ(proxy_->DisconnectUser("bob"), 2);
  for (int fd : clients) {
    EXPECT_TRUE(WaitForClose(fd));
    close(fd);
  }
}

// The policy's refusals in every version's own reply: SOCKS 4 and 4a "rejected" (91), SOCKS 5
// "not allowed by ruleset" (2), then the close. By default for any loopback destination; with
// local destinations allowed, still for the proxy's own port, named by address or by name.
TEST_F(SocksProxyTest, LocalAndOwnDestinationsAreRefusedInEachVersionsWords) {
  TestServer echo(TestServer::kEcho);
  for (bool allowLocal : {false, true}) {
    allow_local_destinations_ = allowLocal;
    StartProxy();
    uint16_t port = allowLocal ? static_cast<uint16_t>(proxy_->port()) : echo.port();
    std::string name = "localhost";
    struct Case {
      const char* what;
      std::string request, reply;
    } cases[] = {
        {"socks4", B({4, 1}) + PortBytes(port) + B({127, 0, 0, 1}) + "u" + B({0}),
         B({0, 91, 0, 0, 0, 0, 0, 0})},
        {"socks4a", B({4, 1}) + PortBytes(port) + B({0, 0, 0, 1}) + "u" + B({0}) + name + B({0}),
         B({0, 91, 0, 0, 0, 0, 0, 0})},
        {"socks5", B({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + PortBytes(port),
         B({5, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0})},
        {"socks5 name",
         B({5, 1, 0, 5, 1, 0, 3, static_cast<int>(name.size())}) + name + PortBytes(port),
         B({5, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0})},
    };
    for (const Case& c : cases) {
      int fd = Connect();
      ASSERT_TRUE(SendAll(fd, c.request));
      EXPECT_EQ(ReadUntilClose(fd), c.reply) << c.what << " switch " << allowLocal;
      close(fd);
    }
    // curl says so too, and gets nothing from the destination.
    int status = 0;
    std::string out = RunCommand(
        "curl -s --max-time 20 --socks5-hostname 127.0.0.1:" + std::to_string(proxy_->port()) +
            " http://localhost:" + std::to_string(port) + "/",
        &status);
    EXPECT_NE(status, 0);
    EXPECT_EQ(out, "");
    std::vector<std::string> logged = Logged();
    EXPECT_EQ(std::count(logged.begin(), logged.end(),
                         "Refused destination 127.0.0.1:" + std::to_string(port) + ":127.0.0.1"),
              5)
        << testing::PrintToString(logged);
    EXPECT_EQ(Refused(Refusal::kDestinationRefused), 5u);
    ASSERT_TRUE(WaitUntil([this] { return proxy_->LiveContexts() == 0; }));
    proxy_->Stop();
    logged_.clear();
  }
}

TEST_F(SocksProxyTest, Socks5DomainNameInTwoPackets) {
  StartProxy();
  TestServer echo(TestServer::kEcho);
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, B({5, 1, 0})));
  ASSERT_EQ(ReadExactly(fd, 2), B({5, 0}));
  ASSERT_TRUE(SendAll(fd, B({5, 1, 0, 3, 9})));
  PacketGap();
  EXPECT_TRUE(NothingReadable(fd));
  ASSERT_TRUE(SendAll(fd, "localhost" + PortBytes(echo.port())));
  EXPECT_EQ(ReadExactly(fd, 2), B({5, 0}));
  ReadExactly(fd, 8);
  ASSERT_TRUE(SendAll(fd, "x"));
  EXPECT_EQ(ReadExactly(fd, 1), "x");
  close(fd);
  EXPECT_EQ(Logged().back(), "Socks5- localhost:127.0.0.1");
}

TEST_F(SocksProxyTest, WholeDialogueInOneWriteOrByteByByte) {
  AddUser("amy", "pw", 1);
  StartProxy(1);
  TestServer echo(TestServer::kEcho);
  const std::string dialogue = B({5, 1, 2}) + B({1, 3}) + "amy" + B({2}) + "pw" +
                               B({5, 1, 0, 3, 9}) + "localhost" + PortBytes(echo.port()) +
                               "payload";
  const std::string replies_head = B({5, 2, 1, 0, 5, 0});
  for (bool byte_by_byte : {false, true}) {
    int fd = Connect();
    if (byte_by_byte) {
      for (char c : dialogue) ASSERT_TRUE(SendAll(fd, std::string(1, c)));
    } else {
      ASSERT_TRUE(SendAll(fd, dialogue));
    }
    EXPECT_EQ(ReadExactly(fd, 6), replies_head) << byte_by_byte;
    ReadExactly(fd, 8);
    EXPECT_EQ(ReadExactly(fd, 7), "payload") << byte_by_byte;
    close(fd);
  }
}

TEST_F(SocksProxyTest, SilentOrEndlessClientsAreClosed) {
  StartProxy();
  proxy_->Stop();
  settings_.dialogueTimeoutMs = 200;
  settings_.port = 0;
  ASSERT_TRUE(proxy_->Start(settings_));
  int silent = Connect();
  int partial = Connect();
  ASSERT_TRUE(SendAll(partial, B({5, 3, 0})));  // promises three methods, sends one
  EXPECT_TRUE(WaitForClose(silent)) << "closed after the dialogue time";
  EXPECT_TRUE(WaitForClose(partial));
  close(silent);
  close(partial);
  int endless = Connect();
  ASSERT_TRUE(SendAll(endless, B({4, 1, 0, 80, 0, 0, 0, 1}) + std::string(700, 'u')));
  EXPECT_TRUE(WaitForClose(endless)) << "a user id longer than any message is refused";
  close(endless);
}

TEST_F(SocksProxyTest, MalformedInputNeverCrashesOrLeaks) {
  StartProxy();
  TestServer echo(TestServer::kEcho);
  std::mt19937 rng(7);
  for (int i = 0; i < 200; ++i) {
    int fd = Connect();
    std::string junk(1 + rng() % 64, '\0');
    for (char& c : junk) c = static_cast<char>(rng());
    if (i % 3 == 0) junk[0] = 4;
    if (i % 3 == 1) junk[0] = 5;
    SendAll(fd, junk);
    shutdown(fd, SHUT_WR);
    ReadUntilClose(fd);
    close(fd);
  }
}

}  // namespace
}  // namespace tw::test
