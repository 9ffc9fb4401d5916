#include "hosting/metrics_access.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

constexpr char kToken[] = "0123456789abcdef0123456789abcdef";

TEST(MetricsAccessTest, LoopbackIsTokenFreeAnythingElseNeedsTheBearerToken) {
  struct Case {
    const char* bound;
    const char* host;
    const char* authorization;
    const char* token;  // as configured
    bool allowed;
  } cases[] = {
      // loopback x none / wrong / right
      {"127.0.0.1", "127.0.0.1:9100", "", kToken, true},
      {"127.0.0.1", "localhost:9100", "Bearer wrong", kToken, true},
      {"127.0.0.1", "127.0.0.1:9100", "Bearer 0123456789abcdef0123456789abcdef", kToken, true},
      {"127.0.0.2", "[::1]:9100", "", kToken, true},
      // a page whose DNS name was rebound to 127.0.0.1 names its own host
      {"127.0.0.1", "attacker.example:9100", "", kToken, false},
      {"127.0.0.1", "", "", kToken, false},
      // every address, or one interface: token needed
      {"0.0.0.0", "127.0.0.1:9100", "", kToken, false},
      {"0.0.0.0", "127.0.0.1:9100", "Bearer 0123456789abcdef0123456789abcdee", kToken, false},
      {"0.0.0.0", "127.0.0.1:9100", "Bearer 0123456789abcdef0123456789abcdef0", kToken, false},
      {"0.0.0.0", "127.0.0.1:9100", "Bearer 0123456789abcdef0123456789abcdef", kToken, true},
      {"192.0.2.7", "proxy.example", "bearer  0123456789abcdef0123456789abcdef ", kToken, true},
      {"192.0.2.7", "proxy.example", "Basic 0123456789abcdef0123456789abcdef", kToken, false},
      {"192.0.2.7", "proxy.example", kToken, kToken, false},
      // no token configured: nothing opens the endpoint from outside, not even an empty one
      {"192.0.2.7", "proxy.example", "Bearer ", "", false},
      {"192.0.2.7", "proxy.example", "Bearer", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MetricsAccessAllowed(c.bound, c.host, c.authorization, c.token), c.allowed)
        << c.bound << " Host: " << c.host << " Authorization: " << c.authorization;
  }
}

}  // namespace
}  // namespace tw
