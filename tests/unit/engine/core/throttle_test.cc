#include "engine/core/throttle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "engine_fixture.h"

namespace tw {
namespace {

TEST(Throttle, PauseArithmetic) {
  struct Case {
    uint32_t now, last;
    int32_t bytes, rate;
    bool paced;
    uint32_t pause;
  } cases[] = {
      {5000, 0, 8192, 1024, false, 0},           // first send of a context
      {5000, 4000, 8192, 0, false, 0},           // unlimited
      {5000, 4000, 8192, -5, false, 0},          // negative rate: unlimited
      {5000, 5000, 8192, 1024, true, 8000},      // back to back at 1 KB/s: 8 s apart
      {5000, 4000, 8192, 1024, true, 7000},      // one second already passed
      {20000, 4000, 8192, 1024, true, 0},        // rate already allows it
      {5000, 4990, 100, 10240, true, 0},         // 100 bytes in 10 ms at 10 KB/s: allowed
      {5000, 4999, 1000, 3000, true, 332},       // 333.33 - 1, truncated
      {5, 0xFFFFFFF0u, 8192, 1024, true, 7979},  // across the wrap: 21 ms elapsed
  };
  for (const Case& k : cases) {
    uint32_t pause = 12345;
    EXPECT_EQ(ThrottleSendAt(k.now, k.last, k.bytes, k.rate, &pause), k.paced)
        << k.now << " " << k.last << " " << k.rate;
    EXPECT_EQ(pause, k.pause) << k.now << " " << k.last << " " << k.rate;
  }
}

TEST(Throttle, UploadIsPacedEndToEnd) {
  int64_t contexts_before = LiveContextCount();
  ListenerSettings settings = test::LoopbackSettings();
  settings.uploadRate = 32768;  // copied into each new client context
  auto server = test::StartRelayProxy(nullptr, kProtocolSocks, settings);
  test::TestServer sink(test::TestServer::kSink);
  int fd = test::OpenRelayed(*server, sink.port());
  const size_t total = 4 * 8192;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(test::SendAll(fd, std::string(total, 'u')));
  while (sink.bytes_received() < total) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto elapsed = std::chrono::steady_clock::now() - start;
  // The first chunk goes at once; the remaining bytes cannot pass faster than the rate.
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(),
            static_cast<long>((total - 8192) * 1000 / 32768) - 20);
  close(fd);
  EXPECT_TRUE(test::AllContextsFreed(*server));
  server->Stop();
  EXPECT_EQ(LiveContextCount(), contexts_before);
}

}  // namespace
}  // namespace tw
