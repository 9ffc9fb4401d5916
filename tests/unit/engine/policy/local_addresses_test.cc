#include "engine/policy/local_addresses.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tw {
namespace {

LocalAddressList::Source Fixed(std::vector<std::string> list) {
  return [list] { return list; };
}

TEST(LocalAddressForClientTest, PicksTheEntryOfTheClientsNetworkByWholeParts) {
  LocalAddressList list(Fixed({"110.0.0.3", "192.168.1.7", "10.0.0.15"}));
  struct Case {
    const char* client;
    const char* expected;
  } cases[] = {
      {"10.0.0.5", "10.0.0.15"},  // not 110.0.0.3, which merely contains "10.0.0"
      {"192.168.1.20", "192.168.1.7"},
      {"192.168.10.1", ""},
      {"127.0.0.9", "127.0.0.1"},  // loopback clients get the loopback address
      {"nodots", ""},
      {"", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(LocalAddressForClient(list, c.client), c.expected) << c.client;
}

TEST(IsOwnHttpAddressTest, ComparesWholeEntriesWithThePort) {
  LocalAddressList list(Fixed({"10.0.0.15", "192.168.1.7"}));
  struct Case {
    int port;
    const char* host;
    bool own;
  } cases[] = {
      {808, "10.0.0.15:808", true},   {808, "10.0.0.1:808", false},
      {808, "10.0.0.1", false},  // a prefix of an entry is not the proxy
      {808, "0.0.15:808", false},     {808, "10.0.0.15", false},
      {808, "10.0.0.15:8080", false}, {80, "192.168.1.7", true},
      {80, "192.168.1.7:80", false},  {80, "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsOwnHttpAddress(list, c.port, c.host), c.own) << c.port << " " << c.host;
  }
}

TEST(LocalAddressListTest, ConcurrentFirstUsesBuildOnce) {
  std::atomic<int> calls{0};
  LocalAddressList list([&calls] {
    calls.fetch_add(1);
    return std::vector<std::string>{"10.0.0.15"};
  });
  std::vector<std::thread> workers;
  std::atomic<int> matches{0};
  for (int i = 0; i < 8; ++i) {
    workers.emplace_back([&] {
      if (LocalAddressForClient(list, "10.0.0.5") == "10.0.0.15") matches.fetch_add(1);
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(list.BuildCount(), 1);
  EXPECT_EQ(matches.load(), 8);
}

TEST(ResolveTest, NumericAndLocalNamesResolveAndBadNamesDoNot) {
  std::uint8_t a[4] = {9, 9, 9, 9};
  ASSERT_TRUE(ResolveFirstAddress("127.0.0.1", a));
  EXPECT_EQ(a[0], 127);
  EXPECT_EQ(a[3], 1);
  std::uint8_t b[4] = {9, 9, 9, 9};
  EXPECT_FALSE(ResolveFirstAddress("", b));
  EXPECT_FALSE(ResolveFirstAddress(std::string_view("127.0.0.1\0x", 11), b));
  EXPECT_FALSE(ResolveFirstAddress("name.invalid", b));
  EXPECT_EQ(b[0], 9);                            // untouched on failure
  EXPECT_FALSE(MachineIPv4Addresses().empty());  // at least the loopback interface
}

}  // namespace
}  // namespace tw
