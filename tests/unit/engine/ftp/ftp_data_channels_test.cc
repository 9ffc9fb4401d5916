#include "engine/ftp/ftp_data_channels.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "config/protocols.h"
#include "engine/proxy_protocols.h"
#include "tests/support/test_sockets.h"

namespace tw {
namespace {

bool WaitUntilEmpty(FtpDataListeners& listeners) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (listeners.Count() != 0) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class FtpDataChannelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<ProxyServer>(kProtocolFtp, ProtocolFor(kProtocolFtp));
    ListenerSettings settings;
    settings.allowLocalDestinations = true;  // the data peers are on loopback
    ASSERT_TRUE(server_->Start(settings));
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    control_ = server_->completionPort()->Associate(pair[0]);
    other_end_ = pair[1];
  }
  void TearDown() override {
    if (server_->completionPort()) server_->completionPort()->Close(control_);
    close(other_end_);
    server_->Stop();
  }

  DataListenerSpec Spec(uint16_t* port) {
    DataListenerSpec spec;
    spec.fd = OpenDataListener(*server_, 0, port);
    spec.allowedPeer = htonl(INADDR_LOOPBACK);
    spec.targetAddress = htonl(INADDR_LOOPBACK);
    spec.targetPort = 9;
    spec.controlSocket = control_;
    return spec;
  }

  std::unique_ptr<ProxyServer> server_;
  SocketHandle control_ = kNoSocket;
  int other_end_ = -1;
};

TEST_F(FtpDataChannelsTest, ListenerNobodyUsesClosesAfterItsLifetime) {
  FtpDataListeners listeners(server_.get(), /*lifetimeMs=*/150);
  ASSERT_TRUE(listeners.Running());
  uint16_t port = 0;
  DataListenerSpec spec = Spec(&port);
  ASSERT_NE(spec.fd, -1);
  listeners.Add(spec);
  EXPECT_EQ(listeners.Count(), 1u);
  ASSERT_TRUE(WaitUntilEmpty(listeners)) << "the listener outlived its lifetime";
  EXPECT_EQ(test::ConnectLoopback(port), -1) << "its port no longer accepts";
}

TEST_F(FtpDataChannelsTest, ListenerClosesWhenItsControlConnectionEnds) {
  FtpDataListeners listeners(server_.get(), kDataListenerLifetimeMs);
  uint16_t port = 0;
  listeners.Add(Spec(&port));
  EXPECT_EQ(listeners.Count(), 1u);
  server_->completionPort()->Close(control_);
  ASSERT_TRUE(WaitUntilEmpty(listeners));
  EXPECT_EQ(test::ConnectLoopback(port), -1);
}

// One client address cannot hold the data port range: beyond its quota its next listener is
// refused (its port closed at once) while another client and the replacement of a waiting
// listener by its own control connection still work.
TEST_F(FtpDataChannelsTest, EachClientAddressHasABoundedNumberOfWaitingListeners) {
  FtpDataListeners listeners(server_.get(), kDataListenerLifetimeMs);
  std::vector<int> ends;
  auto control = [&] {  // a control connection of its own for each listener
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ends.push_back(pair[1]);
    return server_->completionPort()->Associate(pair[0]);
  };
  const uint32_t crowded = htonl(0x0a000001), other = htonl(0x0a000002);
  auto spec = [&](uint32_t client, SocketHandle s, uint16_t* port) {
    DataListenerSpec d = Spec(port);
    d.clientAddress = client;
    d.controlSocket = s;
    return d;
  };
  SocketHandle first = control();
  uint16_t port = 0;
  ASSERT_TRUE(listeners.Add(spec(crowded, first, &port)));
  for (size_t i = 1; i < kDataListenersPerClient; ++i) {
    ASSERT_TRUE(listeners.Add(spec(crowded, control(), &port))) << i;
  }
  uint16_t refused = 0;
  EXPECT_FALSE(listeners.Add(spec(crowded, control(), &refused)));
  EXPECT_EQ(test::ConnectLoopback(refused), -1) << "the refused listener's port is closed";
  EXPECT_TRUE(listeners.Add(spec(crowded, first, &port))) << "a newer listener replaces its own";
  EXPECT_TRUE(listeners.Add(spec(other, control(), &port))) << "other clients go on";
  EXPECT_EQ(listeners.Count(), kDataListenersPerClient + 1);
  for (int fd : ends) close(fd);
}

TEST_F(FtpDataChannelsTest, StoppingTheProxyEndsTheListenerThread) {
  uint16_t port = 0;
  ASSERT_TRUE(AddDataListener(server_.get(), Spec(&port)));
  EXPECT_EQ(test::CountThreadsNamed("tw-ftpdata"), 1);
  server_->Stop();
  EXPECT_EQ(test::CountThreadsNamed("tw-ftpdata"), 0);
  EXPECT_EQ(test::ConnectLoopback(port), -1);
  uint16_t later = 0;
  EXPECT_FALSE(AddDataListener(server_.get(), Spec(&later))) << "a stopped proxy takes none";
}

TEST_F(FtpDataChannelsTest, RangeGivesTheFirstFreePortOrNone) {
  int blocker = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(blocker, reinterpret_cast<sockaddr*>(&a), &len);
  int taken = ntohs(a.sin_port);
  ListenerSettings ranged;
  ranged.ftp.dataPortRangeOn = true;
  ranged.ftp.dataPortLow = taken;
  ranged.ftp.dataPortHigh = taken;
  ProxyServer ranged_server(kProtocolFtp, ProtocolFor(kProtocolFtp));
  ASSERT_TRUE(ranged_server.Start(ranged));
  uint16_t port = 0;
  EXPECT_EQ(OpenDataListener(ranged_server, 0, &port), -1) << "the only port of the range is taken";
  close(blocker);
  int fd = OpenDataListener(ranged_server, 0, &port);
  ASSERT_NE(fd, -1);
  EXPECT_EQ(port, taken);
  ranged_server.Stop();
  // Without the range the peer's port is preferred and any free one is the fall-back.
  uint16_t other = 0;
  int second = OpenDataListener(*server_, port, &other);
  ASSERT_NE(second, -1);
  EXPECT_NE(other, port);
  close(fd);
  close(second);
}

}  // namespace
}  // namespace tw
