#include "engine/policy/address_rules.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tw {
namespace {

TEST(IpInRangeTest, BothEndsIncludedInEitherOrder) {
  struct Case {
    const char* low;
    const char* high;
    const char* address;
    bool in;
  } cases[] = {
      {"192.168.0.1", "192.168.0.50", "192.168.0.50", true},
      {"192.168.0.1", "192.168.0.50", "192.168.0.1", true},
      {"192.168.0.1", "192.168.0.50", "192.168.0.51", false},
      {"192.168.0.50", "192.168.0.1", "192.168.0.50", true},
      {"192.168.0.50", "192.168.0.1", "192.168.0.51", false},
      {"10.0.0.0", "200.0.0.0", "150.1.1.1", true},  // compared unsigned across 128.0.0.0
      {"0.0.0.0", "255.255.255.255", "255.255.255.255", true},
      {" 10.0.0.1", "10.0.0.9 ", "10.0.0.5", true},  // blanks around a rule are harmless
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IpInRange(c.low, c.high, c.address), c.in)
        << c.low << "-" << c.high << " " << c.address;
  }
}

TEST(IpInRangeTest, TextsThatAreNotAddressesNeverPass) {
  // Packed without checks, "10.0.0" would be 0.10.0.0 and "1.2.3.300" would spill into the
  // next part; both could land inside a range by accident.
  const char* bad[] = {"10.0.0",    "1.2.3.256", "1.2.3.300", "a.b.c.d",    "",
                       "1.2.3.4.5", "1..2.3",    "1.2.3.4x",  "0001.2.3.4", "-1.2.3.4"};
  for (const char* b : bad) {
    EXPECT_FALSE(IpInRange("0.0.0.0", "255.255.255.255", b)) << "address " << b;
    EXPECT_FALSE(IpInRange(b, "255.255.255.255", "10.0.0.1")) << "low " << b;
    EXPECT_FALSE(IpInRange("0.0.0.0", b, "10.0.0.1")) << "high " << b;
  }
}

TEST(AddressRuleTest, RangeOrExactText) {
  struct Case {
    const char* rule;
    const char* client;
    bool pass;
  } cases[] = {
      {"192.168.0.1-192.168.0.50", "192.168.0.7", true},
      {"192.168.0.7", "192.168.0.7", true},
      {"192.168.0.7", "192.168.0.70", false},  // exact text, not a prefix
      {"", "192.168.0.7", false},
      {"-192.168.0.7", "192.168.0.7", false},  // a leading "-" is not a range
      {"192.168.0.1-", "192.168.0.1", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AddressRulePasses(c.rule, c.client), c.pass) << c.rule << " " << c.client;
  }
}

TEST(PeerAddressTextTest, GivesTheDottedPeerOrEmpty) {
  EXPECT_EQ(PeerAddressText(-1), "");
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(listener, -1);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof a;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
  int client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  int accepted = ::accept(listener, nullptr, nullptr);
  ASSERT_NE(accepted, -1);
  EXPECT_EQ(PeerAddressText(accepted), "127.0.0.1");
  EXPECT_EQ(PeerAddressText(listener), "");  // not connected
  ::close(accepted);
  ::close(client);
  ::close(listener);
}

}  // namespace
}  // namespace tw
