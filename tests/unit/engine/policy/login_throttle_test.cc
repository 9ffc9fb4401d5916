#include "engine/policy/login_throttle.h"

#include <gtest/gtest.h>

#include <string>

namespace tw {
namespace {

TEST(LoginThrottle, FiveFailuresInAMinuteBlockThatAddressForAMinute) {
  std::uint64_t now = 1000;
  LoginThrottle t([&now] { return now; });
  for (int i = 1; i < LoginThrottle::kMaxFailures; ++i) {
    EXPECT_FALSE(t.RecordFailure("10.0.0.5")) << i;
    now += 1000;
  }
  EXPECT_FALSE(t.Blocked("10.0.0.5"));
  EXPECT_TRUE(t.RecordFailure("10.0.0.5")) << "the fifth failure starts the block";
  EXPECT_TRUE(t.Blocked("10.0.0.5"));
  EXPECT_FALSE(t.Blocked("10.0.0.6")) << "other addresses go on";
  EXPECT_FALSE(t.RecordFailure("10.0.0.5")) << "a block is reported once";
  now += LoginThrottle::kBlockMs - 1;
  EXPECT_TRUE(t.Blocked("10.0.0.5"));
  now += 1;
  EXPECT_FALSE(t.Blocked("10.0.0.5")) << "a minute later it may try again";
  EXPECT_FALSE(t.RecordFailure("10.0.0.5")) << "and counts from zero";
}

TEST(LoginThrottle, FailuresSpreadOverMoreThanAMinuteNeverBlock) {
  std::uint64_t now = 0;
  LoginThrottle t([&now] { return now; });
  for (int i = 0; i < 20; ++i) {
    EXPECT_FALSE(t.RecordFailure("10.0.0.5")) << i;
    now += LoginThrottle::kWindowMs / 4 + 1;
  }
  EXPECT_FALSE(t.Blocked("10.0.0.5"));
}

TEST(LoginThrottle, FollowsABoundedNumberOfAddressesAndKeepsBlocksOverQuietOnes) {
  std::uint64_t now = 0;
  LoginThrottle t([&now] { return now; });
  for (int i = 0; i < LoginThrottle::kMaxFailures; ++i) t.RecordFailure("10.0.0.1");
  ASSERT_TRUE(t.Blocked("10.0.0.1"));
  now += 1;
  for (std::size_t i = 0; i < 2 * LoginThrottle::kMaxAddresses; ++i) {
    t.RecordFailure("192.168." + std::to_string(i / 256) + "." + std::to_string(i % 256));
  }
  EXPECT_TRUE(t.Blocked("10.0.0.1")) << "a block outlives a flood of other addresses";
}

}  // namespace
}  // namespace tw
