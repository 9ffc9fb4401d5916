// The destination policy on injected addresses: no packet is sent anywhere.
#include "engine/policy/destination_policy.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tw {
namespace {

uint32_t Address(const char* dotted) {
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
  return a.s_addr;
}

const char* Name(DestinationVerdict v) {
  switch (v) {
    case DestinationVerdict::kAllowed:
      return "allowed";
    case DestinationVerdict::kLocal:
      return "local";
    case DestinationVerdict::kOwnListener:
      return "own listener";
  }
  return "?";
}

TEST(DestinationPolicyTest, RefusesThisMachineSpecialAddressesAndOwnListeners) {
  const std::vector<std::string> machine = {"192.168.1.7", "10.0.0.15", "127.0.0.1"};
  OwnEndpoints own;
  own.Add(ListenEndpoint{0, 808});                      // a proxy: every address
  own.Add(ListenEndpoint{Address("127.0.0.1"), 8808});  // a console on loopback only
  own.Add(ListenEndpoint{0, 6001});                     // an FTP data listener
  constexpr auto kAllowed = DestinationVerdict::kAllowed;
  constexpr auto kLocal = DestinationVerdict::kLocal;
  constexpr auto kOwn = DestinationVerdict::kOwnListener;
  struct Case {
    const char* address;
    uint16_t port;
    DestinationVerdict switchOff, switchOn;
  } cases[] = {
      {"93.184.216.34", 80, kAllowed, kAllowed},
      {"93.184.216.34", 808, kAllowed, kAllowed},  // another host's port 808 is no concern
      {"10.0.0.16", 25, kAllowed, kAllowed},       // a neighbour on the machine's network
      {"126.255.255.255", 80, kAllowed, kAllowed},
      {"128.0.0.1", 80, kAllowed, kAllowed},
      {"169.253.255.255", 80, kAllowed, kAllowed},
      {"169.255.0.0", 80, kAllowed, kAllowed},
      {"223.255.255.255", 80, kAllowed, kAllowed},
      {"127.0.0.1", 25, kLocal, kAllowed},
      {"127.8.9.10", 25, kLocal, kAllowed},
      {"0.0.0.0", 80, kLocal, kAllowed},
      {"0.1.2.3", 80, kLocal, kAllowed},
      {"169.254.169.254", 80, kLocal, kAllowed},  // link-local metadata service
      {"224.0.0.1", 80, kLocal, kAllowed},
      {"239.255.255.250", 1900, kLocal, kAllowed},
      {"240.0.0.1", 80, kLocal, kAllowed},
      {"255.255.255.255", 80, kLocal, kAllowed},
      {"192.168.1.7", 25, kLocal, kAllowed},  // this machine by its network address
      {"10.0.0.15", 110, kLocal, kAllowed},
      // Own listening sockets, whatever the switch.
      {"127.0.0.1", 808, kOwn, kOwn},
      {"127.0.0.2", 808, kOwn, kOwn},  // all of 127/8 reaches a socket bound to every address
      {"0.0.0.0", 808, kOwn, kOwn},
      {"192.168.1.7", 808, kOwn, kOwn},
      {"10.0.0.15", 6001, kOwn, kOwn},
      {"127.0.0.1", 8808, kOwn, kOwn},
      {"0.0.0.0", 8808, kOwn, kOwn},            // 0.0.0.0 lands on loopback
      {"192.168.1.7", 8808, kLocal, kAllowed},  // the console is not on that address
  };
  for (const Case& c : cases) {
    for (bool allowLocal : {false, true}) {
      DestinationVerdict want = allowLocal ? c.switchOn : c.switchOff;
      DestinationVerdict got =
          CheckDestination(Address(c.address), c.port, allowLocal, machine, &own);
      EXPECT_EQ(got, want) << c.address << ":" << c.port << " with the switch "
                           << (allowLocal ? "on" : "off") << " gave " << Name(got) << ", expected "
                           << Name(want);
    }
  }
  EXPECT_EQ(CheckDestination(Address("127.0.0.1"), 808, true, machine, nullptr), kAllowed)
      << "without a list of own listeners only the address rules apply";
}

TEST(DestinationPolicyTest, ListenersComeAndGoWhileOthersAsk) {
  OwnEndpoints own;
  uint32_t loopback = Address("127.0.0.1");
  own.Add(ListenEndpoint{0, 21});
  own.Add(ListenEndpoint{0, 21});  // the same port listed twice stays until both are removed
  own.Remove(ListenEndpoint{0, 21});
  EXPECT_TRUE(own.Reaches(loopback, 21, true));
  own.Remove(ListenEndpoint{0, 21});
  EXPECT_FALSE(own.Reaches(loopback, 21, true));

  // Data listeners open and close while workers check destinations (run under TSan).
  std::thread churn([&own] {
    for (uint16_t p = 6000; p < 6300; ++p) {
      own.Add(ListenEndpoint{0, p});
      own.Remove(ListenEndpoint{0, p});
    }
  });
  own.Add(ListenEndpoint{0, 808});
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(own.Reaches(loopback, 808, true));
    ASSERT_FALSE(own.Reaches(Address("93.184.216.34"), 808, false));
  }
  churn.join();
  own.Remove(ListenEndpoint{0, 808});
  EXPECT_FALSE(own.Reaches(loopback, 808, true));
}

}  // namespace
}  // namespace tw
