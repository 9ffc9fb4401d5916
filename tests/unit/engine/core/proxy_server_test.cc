#include "engine/core/proxy_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/proxy_protocols.h"
#include "engine_fixture.h"

namespace tw {
namespace {

using test::ConnectLoopback;
using test::NothingReadable;
using test::ReadExactly;
using test::StartRelayProxy;

int EngineThreads() {
  return test::CountThreadsNamed("tw-work");
}

TEST(ProxyServer, PortInUseFailsThatProxyOnlyAndRestartListensAgain) {
  auto first = StartRelayProxy();
  ProxyServer second(kProtocolFtp, ProxyProtocol{&test::RelayTestHandler, nullptr, 4});
  ListenerSettings taken;
  taken.port = first->port();
  EXPECT_FALSE(second.Start(taken)) << "the port is taken";
  EXPECT_FALSE(second.Running());
  EXPECT_EQ(EngineThreads(), 4)
      << "a failed start leaves no thread behind (only the first proxy's workers run)";

  test::TestServer echo(test::TestServer::kEcho);
  int fd = test::OpenRelayed(*first, echo.port());
  ASSERT_NE(fd, -1);
  ASSERT_TRUE(test::SendAll(fd, "still served"));
  EXPECT_EQ(ReadExactly(fd, 12), "still served");
  close(fd);

  ListenerSettings same = test::LoopbackSettings();
  same.port = first->port();
  first->Stop();
  EXPECT_EQ(EngineThreads(), 0) << "no worker remains";
  ASSERT_TRUE(first->Start(same)) << "stop then start on the same port listens again";
  fd = test::OpenRelayed(*first, echo.port());
  ASSERT_TRUE(test::SendAll(fd, "again"));
  EXPECT_EQ(ReadExactly(fd, 5), "again");
  close(fd);
  first->Stop();
}

TEST(ProxyServer, StopEndsEveryThreadAndFreesOpenConnections) {
  int64_t contexts_before = LiveContextCount();
  test::TestServer echo(test::TestServer::kEcho);
  int fds_before = test::CountOpenDescriptors();
  auto server = StartRelayProxy();
  int fd = test::OpenRelayed(*server, echo.port());
  ASSERT_TRUE(test::SendAll(fd, "ping"));
  ASSERT_EQ(ReadExactly(fd, 4), "ping");
  // Taken in once its first bytes arrive, then waits for the rest of its request.
  int idle = ConnectLoopback(static_cast<uint16_t>(server->port()));
  ASSERT_TRUE(test::SendAll(idle, "127.0.0.1"));
  for (int i = 0; i < 500 && server->counters().Snapshot().accepted < 2; ++i) usleep(2000);
  ASSERT_EQ(server->counters().Snapshot().accepted, 2u);
  server->Stop();
  EXPECT_EQ(LiveContextCount(), contexts_before);
  EXPECT_TRUE(test::WaitForClose(fd)) << "open connections are closed by Stop";
  EXPECT_TRUE(test::WaitForClose(idle));
  close(fd);
  close(idle);
  EXPECT_EQ(EngineThreads(), 0);
  EXPECT_EQ(test::CountOpenDescriptors(), fds_before + 1) << "only the echo side's socket";
}

TEST(ProxyServer, GreetingProtocolsSpeakFirstReadFirstProtocolsWait) {
  struct Case {
    int32_t protocol;
    const char* greeting;
  } cases[] = {{kProtocolFtp, "220 welcome to Tarnwick Proxy Server\r\n"},
               {kProtocolPop3, "+OK welcome to Tarnwick Proxy Server\r\n"},
               {kProtocolSmtp, "220 welcome to Tarnwick Proxy Server\r\n"},
               {kProtocolHttp, nullptr},
               {kProtocolSocks, nullptr}};
  for (const Case& k : cases) {
    ProxyProtocol parts = ProtocolFor(k.protocol);
    EXPECT_EQ(parts.workerCount, k.protocol == kProtocolHttp ? 10 : 4);
    parts.handler = &test::RelayTestHandler;
    ProxyServer server(k.protocol, parts);
    ASSERT_TRUE(server.Start(test::LoopbackSettings()));
    int fd = ConnectLoopback(static_cast<uint16_t>(server.port()));
    if (k.greeting != nullptr) {
      ASSERT_STREQ(parts.greeting, k.greeting);
      EXPECT_EQ(ReadExactly(fd, strlen(k.greeting)), k.greeting);
    } else {
      EXPECT_EQ(parts.greeting, nullptr);
      // The connection is established and nothing is said. The listener hands the client over
      // only with its first bytes, so a client that stays silent costs the proxy nothing yet.
      usleep(50000);
      EXPECT_TRUE(NothingReadable(fd));
      EXPECT_EQ(server.counters().Snapshot().accepted, 0u);
      test::TestServer echo(test::TestServer::kEcho);
      ASSERT_TRUE(test::SendAll(fd, "127.0.0.1:" + std::to_string(echo.port()) + "\nhi"));
      EXPECT_EQ(ReadExactly(fd, 2), "hi");
      EXPECT_EQ(server.counters().Snapshot().accepted, 1u);
    }
    close(fd);
    server.Stop();
  }
}

TEST(ProxyServer, ProtocolWithoutHandlerDoesNotStart) {
  ProxyServer server(kProtocolSocks, ProxyProtocol{});
  EXPECT_FALSE(server.Start({}));
}

}  // namespace
}  // namespace tw
