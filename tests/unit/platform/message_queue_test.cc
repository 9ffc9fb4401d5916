#include "platform/message_queue.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace tw {
namespace {

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

TEST(MessageQueueTest, ManyPostersLoseNothingAndKeepEachPostersOrder) {
  MessageQueue<std::pair<int, int>> queue;
  constexpr int kThreads = 4, kEach = 5000;
  std::atomic<int> finished{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) queue.Post({t, i});
      finished.fetch_add(1);
    });
  }
  std::vector<int> next(kThreads, 0);
  int received = 0;
  bool in_order = true;
  auto handle = [&](std::pair<int, int>&& item) {
    in_order &= item.second == next[item.first]++;
    ++received;
  };
  while (finished.load() < kThreads) {
    queue.WaitFor(std::chrono::milliseconds(50));
    queue.Drain(handle);
  }
  for (auto& th : posters) th.join();
  queue.Drain(handle);
  EXPECT_EQ(received, kThreads * kEach);
  EXPECT_TRUE(in_order);
  EXPECT_EQ(queue.Dropped(), 0u);
}

TEST(MessageQueueTest, WakeFdSignalsPendingItemsAndClearsOnDrain) {
  MessageQueue<int> queue;
  ASSERT_NE(queue.WakeFd(), -1);
  EXPECT_FALSE(Readable(queue.WakeFd()));
  queue.Post(1);
  queue.Post(2);
  EXPECT_TRUE(Readable(queue.WakeFd()));
  EXPECT_EQ(queue.Drain([](int&&) {}), 2u);
  EXPECT_FALSE(Readable(queue.WakeFd()));
  queue.Post(3);
  EXPECT_TRUE(Readable(queue.WakeFd()));
}

TEST(MessageQueueTest, PostFromInsideTheHandlerWaitsForTheNextDrainWithoutDeadlock) {
  MessageQueue<int> queue;
  queue.Post(1);
  std::vector<int> seen;
  queue.Drain([&](int&& v) {
    seen.push_back(v);
    queue.Post(v + 1);  // the owner itself posting must not block on the queue
  });
  EXPECT_EQ(seen, std::vector<int>({1}));
  EXPECT_TRUE(Readable(queue.WakeFd()));
  queue.Drain([&](int&& v) { seen.push_back(v); });
  EXPECT_EQ(seen, std::vector<int>({1, 2}));
}

TEST(MessageQueueTest, BoundedQueueRefusesAndCountsWhenFull) {
  MessageQueue<int> queue(2);
  EXPECT_TRUE(queue.Post(1));
  EXPECT_TRUE(queue.Post(2));
  EXPECT_FALSE(queue.Post(3));
  EXPECT_EQ(queue.Dropped(), 1u);
  EXPECT_EQ(queue.Drain([](int&&) {}), 2u);
  EXPECT_TRUE(queue.Post(4));
}

TEST(MessageQueueTest, WaitForReturnsAtOnceWhenAnItemIsPending) {
  MessageQueue<int> queue;
  EXPECT_FALSE(queue.WaitFor(std::chrono::milliseconds(0)));
  std::thread poster([&] { queue.Post(7); });
  EXPECT_TRUE(queue.WaitFor(std::chrono::minutes(1)));
  poster.join();
}

}  // namespace
}  // namespace tw
