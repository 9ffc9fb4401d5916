#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <thread>
#include <vector>

#include "engine/core/io_context.h"
#include "engine_fixture.h"

namespace tw {
namespace {

std::string Pattern(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& ch : s) ch = static_cast<char>(rng());
  return s;
}

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    contexts_before_ = LiveContextCount();
    server_ = test::StartRelayProxy();
  }
  void TearDown() override {
    EXPECT_TRUE(test::AllContextsFreed(*server_)) << server_->LiveContexts() << " contexts left";
    EXPECT_EQ(server_->completionPort()->OpenSockets(), 0u) << "every socket closed";
    server_->Stop();
    EXPECT_EQ(LiveContextCount(), contexts_before_);
  }
  int64_t contexts_before_ = 0;
  std::unique_ptr<ProxyServer> server_;
};

TEST_F(RelayTest, LargeTransfersArriveCompleteAndInOrderBothWays) {
  test::TestServer echo(test::TestServer::kEcho);
  int fd = test::OpenRelayed(*server_, echo.port());
  ASSERT_NE(fd, -1);
  const std::string data = Pattern(3 * 1024 * 1024 + 17, 1);
  std::thread writer([&] { EXPECT_TRUE(test::SendAll(fd, data)); });
  std::string back = test::ReadExactly(fd, data.size());
  writer.join();
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data) << "echoed bytes differ";
  close(fd);
}

TEST_F(RelayTest, BytesSentWithTheRequestLineAreRelayed) {
  test::TestServer echo(test::TestServer::kEcho);
  int fd = test::ConnectLoopback(static_cast<uint16_t>(server_->port()));
  ASSERT_TRUE(test::SendAll(fd, "localhost:" + std::to_string(echo.port()) + "\nfirst bytes"));
  EXPECT_EQ(test::ReadExactly(fd, 11), "first bytes") << "name lookup path, payload kept";
  close(fd);
}

TEST_F(RelayTest, ClientClosingMidTransferFreesBothSides) {
  test::TestServer sink(test::TestServer::kSink);
  int fd = test::OpenRelayed(*server_, sink.port());
  ASSERT_TRUE(test::SendAll(fd, Pattern(256 * 1024, 2)));
  while (sink.bytes_received() == 0) std::this_thread::yield();
  close(fd);  // the sink side learns of it through the shutdown of its socket
}

TEST_F(RelayTest, DestinationClosingFirstClosesTheClient) {
  test::TestServer echo(test::TestServer::kEcho);
  int fd = test::OpenRelayed(*server_, echo.port());
  ASSERT_TRUE(test::SendAll(fd, "x"));
  ASSERT_EQ(test::ReadExactly(fd, 1), "x");
  echo.CloseConnections();
  EXPECT_TRUE(test::WaitForClose(fd));
  close(fd);
}

TEST_F(RelayTest, UnreachableOrRefusedDestinationClosesOnlyThatClient) {
  test::TestServer refusing(test::TestServer::kSink);
  uint16_t closed_port = refusing.port();
  {
    test::TestServer gone(test::TestServer::kSink);
    closed_port = gone.port();
  }
  int fd = test::OpenRelayed(*server_, closed_port);
  EXPECT_TRUE(test::WaitForClose(fd));
  close(fd);
  fd = test::OpenRelayed(*server_, 1, "no-such-host.invalid");
  EXPECT_TRUE(test::WaitForClose(fd));
  close(fd);
}

TEST_F(RelayTest, UnreachableDestinationsDoNotDelayALiveOne) {
  ListenerSettings patient = test::LoopbackSettings();
  patient.connectTimeoutMs = 60000;
  server_->Stop();
  ASSERT_TRUE(server_->Start(patient));
  test::UnreachableListener unreachable;
  test::TestServer echo(test::TestServer::kEcho);
  // More hanging connects than the proxy has workers.
  std::vector<int> stuck;
  for (int i = 0; i < test::kRelayWorkers * 2; ++i) {
    stuck.push_back(test::OpenRelayed(*server_, unreachable.port()));
  }
  int fd = test::OpenRelayed(*server_, echo.port());
  ASSERT_TRUE(test::SendAll(fd, "alive"));
  EXPECT_EQ(test::ReadExactly(fd, 5), "alive");
  for (int s : stuck) {
    EXPECT_TRUE(test::NothingReadable(s)) << "those connects are still pending";
    close(s);
  }
  close(fd);
  server_->Stop();  // the pending connects are released by Stop
  ASSERT_TRUE(server_->Start(test::LoopbackSettings()));
}

TEST_F(RelayTest, ManyPairsClosingFromBothSidesAtOnce) {
  test::TestServer echo(test::TestServer::kEcho);
  constexpr int kPairs = 64;
  std::vector<int> fds;
  for (int i = 0; i < kPairs; ++i) {
    int fd = test::OpenRelayed(*server_, echo.port());
    ASSERT_TRUE(test::SendAll(fd, "abc"));
    ASSERT_EQ(test::ReadExactly(fd, 3), "abc");
    fds.push_back(fd);
  }
  // Keep data flowing while both ends go away at the same moment.
  std::thread clients([&] {
    for (int fd : fds) {
      test::SendAll(fd, Pattern(20000, 3));
      shutdown(fd, SHUT_RDWR);
    }
  });
  echo.CloseConnections();
  clients.join();
  for (int fd : fds) close(fd);
}

}  // namespace
}  // namespace tw
