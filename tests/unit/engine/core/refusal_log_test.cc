#include "engine/core/refusal_log.h"

#include <gtest/gtest.h>

#include <string>

namespace tw {
namespace {

int AllowedOf(RefusalLogLimit& limit, const std::string& address, int tries) {
  int allowed = 0;
  for (int i = 0; i < tries; ++i) allowed += limit.Allow(address) ? 1 : 0;
  return allowed;
}

TEST(RefusalLogLimit, EachAddressWritesAFewLinesPerSecondAndTheNextSecondStartsAfresh) {
  std::uint64_t now = 5000;
  RefusalLogLimit limit([&now] { return now; });
  EXPECT_EQ(AllowedOf(limit, "10.0.0.1", 100), RefusalLogLimit::kLinesPerSecond);
  EXPECT_EQ(AllowedOf(limit, "10.0.0.2", 1), 1) << "another address has its own count";
  now += 999;
  EXPECT_EQ(AllowedOf(limit, "10.0.0.1", 1), 0) << "still the same second";
  now += 1;
  EXPECT_EQ(AllowedOf(limit, "10.0.0.1", 100), RefusalLogLimit::kLinesPerSecond);
}

TEST(RefusalLogLimit, AddressesBeyondTheBoundWithinOneSecondAreDropped) {
  std::uint64_t now = 0;
  RefusalLogLimit limit([&now] { return now; });
  for (std::size_t i = 0; i < RefusalLogLimit::kMaxAddresses; ++i) {
    ASSERT_TRUE(limit.Allow("a" + std::to_string(i)));
  }
  EXPECT_FALSE(limit.Allow("one too many"));
  EXPECT_TRUE(limit.Allow("a1")) << "addresses already followed keep their count";
  now += 1000;
  EXPECT_TRUE(limit.Allow("one too many")) << "a new second forgets them all";
}

}  // namespace
}  // namespace tw
