#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "engine/core/io_context.h"
#include "engine/core/relay_pools.h"
#include "engine_fixture.h"
#include "platform/socket_options.h"

namespace tw {
namespace {

std::string Pattern(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& ch : s) ch = static_cast<char>(rng());
  return s;
}

// Waits (bounded) until done() holds; the relay reaches its states on its own workers.
bool Eventually(const std::function<bool()>& done) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::yield();
  }
  return true;
}

// Changes the limits of the live pair made last. Taking the proxy's live-list lock afterwards
// orders these stores before the pair's free (which takes it too) for the race detector; the
// kernel's ordering of the close it cannot see.
void SetPairRate(ProxyServer& server, int32_t rate) {
  test::RelayTestPair pair = test::LastRelayTestPair();
  for (IoContext* x : {pair.client, pair.destination}) {
    x->downloadRate.store(rate);
    x->uploadRate.store(rate);
  }
  server.LiveContexts();
}

// A limit high enough never to pause, which still takes a pair off the kernel path.
constexpr int32_t kFastLimit = 1 << 30;

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    contexts_before_ = LiveContextCount();
    server_ = test::StartRelayProxy();
  }
  void TearDown() override {
    EXPECT_TRUE(test::AllContextsFreed(*server_)) << server_->LiveContexts() << " contexts left";
    EXPECT_EQ(server_->completionPort()->OpenSockets(), 1u)
        << "every socket but the listener closed";
    server_->Stop();
    EXPECT_EQ(LiveContextCount(), contexts_before_);
    EXPECT_EQ(IoBuffersInUse(), 0) << "every buffer back in the pool";
    EXPECT_EQ(RelayPipesInUse(), 0) << "every pipe back in the pool";
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

// The kernel path and the copy path hand over to each other mid-stream without losing or
// reordering a byte, whichever way the throttle switches.
TEST_F(RelayTest, ThrottleSwitchingMidTransferKeepsEveryByteInOrder) {
  struct Case {
    const char* what;
    int32_t before, after;
  } cases[] = {{"throttle comes on", 0, kFastLimit}, {"throttle goes off", kFastLimit, 0}};
  test::TestServer echo(test::TestServer::kEcho);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    int fd = test::OpenRelayed(*server_, echo.port());
    ASSERT_NE(fd, -1);
    // A small receive buffer and more bytes than the proxy's socket buffers hold: most of the
    // second half is still to be relayed when the throttle switches.
    int small = 64 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string data = Pattern(16 * 1024 * 1024, 7);
    const size_t first = 64 * 1024;
    ASSERT_TRUE(test::SendAll(fd, data.substr(0, first)));
    std::string back = test::ReadExactly(fd, first);  // the pair exists and relays
    SetPairRate(*server_, k.before);
    int64_t spliced_before = SplicedBytes();
    std::thread writer([&] { EXPECT_TRUE(test::SendAll(fd, data.substr(first))); });
    back += test::ReadExactly(fd, data.size() / 2 - first);
    SetPairRate(*server_, k.after);
    int64_t spliced_at_switch = SplicedBytes();
    back += test::ReadExactly(fd, data.size() - back.size());
    writer.join();
    ASSERT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data) << "echoed bytes differ";
    int64_t spliced_unthrottled =
        k.before == 0 ? spliced_at_switch - spliced_before : SplicedBytes() - spliced_at_switch;
    EXPECT_GT(spliced_unthrottled, 0) << "the unthrottled half went through the kernel path";
    close(fd);
  }
}

// A reader that does not keep up stalls the relay: each direction keeps its buffer (copy path)
// or its pipe with the bytes in it (kernel path) while its send is incomplete, and gives it back
// once everything has been taken and the pair waits again.
TEST_F(RelayTest, SlowReaderHoldsABufferOrPipeOnlyWhileASendIsIncomplete) {
  struct Case {
    const char* what;
    int32_t rate;
    int64_t stalledBuffers, stalledPipes;
  } cases[] = {{"copy path", kFastLimit, 2, 0}, {"kernel path", 0, 0, 2}};
  test::TestServer echo(test::TestServer::kEcho);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    int fd = test::OpenRelayed(*server_, echo.port());
    ASSERT_NE(fd, -1);
    int small = 64 * 1024;  // a fixed, small receive buffer: the chain fills sooner
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(test::SendAll(fd, "x"));
    ASSERT_EQ(test::ReadExactly(fd, 1), "x");
    SetPairRate(*server_, k.rate);
    EXPECT_TRUE(Eventually([] { return IoBuffersInUse() == 0 && RelayPipesInUse() == 0; }))
        << "an idle pair holds nothing";

    // More than every socket buffer on the way can hold, so the writer and the relay stall.
    std::string data(48 * 1024 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
    std::thread writer([&] { EXPECT_TRUE(test::SendAll(fd, data)); });
    EXPECT_TRUE(Eventually([&] {
      return IoBuffersInUse() == k.stalledBuffers && RelayPipesInUse() == k.stalledPipes;
    })) << "stalled: "
        << IoBuffersInUse() << " buffers, " << RelayPipesInUse() << " pipes";

    std::string back = test::ReadExactly(fd, data.size());
    writer.join();
    EXPECT_TRUE(back == data) << "echoed bytes differ";
    EXPECT_TRUE(Eventually([] { return IoBuffersInUse() == 0 && RelayPipesInUse() == 0; }))
        << "drained and waiting: " << IoBuffersInUse() << " buffers, " << RelayPipesInUse()
        << " pipes";
    EXPECT_EQ(server_->LiveContexts(), 2u) << "the pair is still open";
    close(fd);
    EXPECT_TRUE(test::AllContextsFreed(*server_));
  }
}

// A raw pair moves small pieces through a buffer and large ones through a pipe, switching as
// the sizes change; a reader that takes little at a time makes the proxy's sends partial on
// either path. Every byte arrives, in order, and nothing stays lent afterwards.
TEST_F(RelayTest, MixedWriteSizesToASlowReaderArriveCompleteAndInOrder) {
  struct Case {
    const char* what;
    std::vector<size_t> writes;  // write sizes, repeated until the data is sent
  } cases[] = {{"small writes", {1, 100, 700}},
               {"around one buffer", {8191, 8192, 8193}},
               {"small and large by turns", {300, 65536, 5, 200000, 4096}}};
  test::TestServer echo(test::TestServer::kEcho);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    int fd = test::OpenRelayed(*server_, echo.port());
    ASSERT_NE(fd, -1);
    int small = 16 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string data = Pattern(6 * 1024 * 1024, 11);
    std::thread writer([&] {
      size_t at = 0;
      for (size_t i = 0; at < data.size(); ++i) {
        size_t n = std::min(k.writes[i % k.writes.size()], data.size() - at);
        if (!test::SendAll(fd, data.substr(at, n))) break;
        at += n;
      }
    });
    std::string back;
    char piece[509];
    while (back.size() < data.size()) {
      ssize_t n = recv(fd, piece, sizeof piece, 0);
      if (n <= 0) break;
      back.append(piece, static_cast<size_t>(n));
    }
    writer.join();
    ASSERT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data) << "echoed bytes differ";
    close(fd);
    EXPECT_TRUE(test::AllContextsFreed(*server_));
  }
}

// Small messages to a destination that stops reading: the proxy's send of one goes through in
// part, the rest waits in a buffer lent for it (one, no pipe), and once the destination reads
// again every byte arrives in order and the buffer goes back.
TEST_F(RelayTest, PartialSendOfASmallMessageKeepsItsRestUntilTheDestinationReads) {
  uint16_t hold_port;
  int listener = test::ListenLoopback(4, &hold_port);
  ASSERT_NE(listener, -1);
  int fd = test::OpenRelayed(*server_, hold_port);
  ASSERT_NE(fd, -1);
  int held = accept(listener, nullptr, nullptr);
  ASSERT_NE(held, -1);
  timeval limit{10, 0};  // a test that goes wrong fails instead of hanging
  setsockopt(held, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  int small = 4096;
  setsockopt(held, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_TRUE(test::SendAll(fd, "x"));  // the pair exists once this byte has come through
  ASSERT_EQ(test::ReadExactly(held, 1), "x");
  test::RelayTestPair pair = test::LastRelayTestPair();
  CompletionPort* port = server_->completionPort().get();
  int from_client = port->Descriptor(pair.client->socket);
  int to_destination = port->Descriptor(pair.destination->socket);
  setsockopt(to_destination, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  auto unread = [&] {
    int n = 0;
    ioctl(from_client, SIOCINQ, &n);
    return n;
  };
  // One message at a time, each taken by the proxy before the next (so every read is small),
  // until the proxy stops taking them: it holds the rest of a send the destination cannot
  // take.
  std::string sent;
  bool stalled = false;
  for (uint32_t i = 0; i < 100000 && !stalled; ++i) {
    std::string message = Pattern(100 + i % 300, i);
    ASSERT_TRUE(test::SendAll(fd, message));
    sent += message;
    ASSERT_TRUE(Eventually([&] { return unread() == 0 || IoBuffersInUse() == 1; }));
    stalled = unread() > 0 && IoBuffersInUse() == 1;
  }
  ASSERT_TRUE(stalled);
  EXPECT_TRUE(Eventually([] { return IoBuffersInUse() == 1; }))
      << "the rest waits in one buffer: " << IoBuffersInUse();
  EXPECT_EQ(RelayPipesInUse(), 0) << "small messages take no pipe";
  std::string got = test::ReadExactly(held, sent.size());
  EXPECT_TRUE(got == sent) << "bytes lost or reordered: " << got.size() << " of " << sent.size();
  EXPECT_TRUE(Eventually([] { return IoBuffersInUse() == 0; })) << "the buffer goes back";
  close(fd);
  close(held);
  close(listener);
}

// Bytes and the end of the stream that arrive together (one read finds both) both reach the
// other side: first the bytes, then the close.
TEST_F(RelayTest, BytesFollowedByACloseReachTheOtherSideBeforeTheClose) {
  {
    SCOPED_TRACE("the client sends and closes");
    test::TestServer sink(test::TestServer::kSink);
    int fd = test::OpenRelayed(*server_, sink.port());
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(test::SendAll(fd, "last words"));
    shutdown(fd, SHUT_WR);
    EXPECT_TRUE(Eventually([&] { return sink.bytes_received() == 10; }))
        << sink.bytes_received() << " bytes reached the destination";
    EXPECT_TRUE(test::WaitForClose(fd)) << "the pair ends";
    close(fd);
  }
  {
    SCOPED_TRACE("the destination answers and closes");
    test::TestServer origin(test::TestServer::kHttp);
    int fd = test::OpenRelayed(*server_, origin.port());
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(test::SendAll(fd, "GET / HTTP/1.0\r\n\r\n"));
    std::string reply = test::ReadUntilClose(fd);
    EXPECT_NE(reply.find(test::TestServer::kHttpBody), std::string::npos) << reply;
    close(fd);
  }
}

// A burst of clients is queued and taken whole: the listener asks for the system's queue
// length, and every client is served.
TEST_F(RelayTest, BurstOfClientsIsAcceptedAndServed) {
  std::string listing =
      test::RunCommand("ss -Hltn 'sport = :" + std::to_string(server_->port()) + "'");
  int queue = 0;
  ASSERT_EQ(std::sscanf(listing.c_str(), "%*s %*d %d", &queue), 1) << listing;
  EXPECT_EQ(queue, ListenBacklog()) << "the listener's accept queue";

  test::TestServer echo(test::TestServer::kEcho);
  constexpr int kClients = 300;
  std::vector<int> fds;
  for (int i = 0; i < kClients; ++i) {
    int fd = test::OpenRelayed(*server_, echo.port());
    ASSERT_NE(fd, -1) << "client " << i;
    fds.push_back(fd);
  }
  int served = 0;
  for (int fd : fds) {
    if (test::SendAll(fd, "ping") && test::ReadExactly(fd, 4) == "ping") ++served;
    close(fd);
  }
  EXPECT_EQ(served, kClients);
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

// Only a bounded number of pipes are made large, as the kernel counts their capacity against
// the user's allowance for all processes; the others keep the default size, and closing a
// large one lets the next new pipe be large again.
TEST(RelayPools, OnlyABoundedNumberOfPipesAreMadeLarge) {
  TrimRelayPools();
  ASSERT_EQ(RelayPipesInUse(), 0);
  ASSERT_EQ(LargeRelayPipes(), 0);
  std::vector<RelayPipe> pipes;
  for (int i = 0; i < kLargeRelayPipes + 4; ++i) {
    pipes.push_back(AcquireRelayPipe());
    ASSERT_TRUE(pipes.back().valid());
  }
  int64_t large = 0;
  for (const RelayPipe& p : pipes) {
    EXPECT_EQ(fcntl(p.in, F_GETPIPE_SZ) == static_cast<int>(kRelayPipeBytes), p.large);
    large += p.large ? 1 : 0;
  }
  EXPECT_EQ(large, kLargeRelayPipes);
  EXPECT_EQ(LargeRelayPipes(), kLargeRelayPipes);
  ReleaseRelayPipe(pipes.front(), false);  // may hold bytes: closed, not kept
  pipes.front() = AcquireRelayPipe();
  EXPECT_TRUE(pipes.front().large);
  for (const RelayPipe& p : pipes) ReleaseRelayPipe(p, true);
  TrimRelayPools();
  EXPECT_EQ(LargeRelayPipes(), 0) << "a kept pipe counts until it is closed";
}

}  // namespace
}  // namespace tw
