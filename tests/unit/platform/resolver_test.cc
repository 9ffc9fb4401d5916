#include "platform/resolver.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "platform/address_text.h"
#include "tests/support/dns_test_server.h"

namespace tw {
namespace {

struct Answer {
  uint64_t key;
  int error;
  std::string address;
};

Answer Next(CompletionPort* port, Overlapped* ovs) {
  Completion c;
  EXPECT_TRUE(port->Wait(&c));
  EXPECT_EQ(c.overlapped->op, IoOp::kResolve);
  return Answer{c.key, c.overlapped->error, c.overlapped->error == 0 ? AddressText(c.bytes) : ""};
}

// Lookups of a zone whose server never answers are under way, more of them than a pool of
// blocking threads would have had; a name the same server answers is resolved before any of
// them ends, and each of them then fails at its own deadline.
TEST(ResolverTest, SilentZoneDoesNotDelayANameThatResolves) {
  DnsTestServer dns(std::map<std::string, std::string>{{"fast.test", "10.1.2.3"}});
  ResolverPool resolver(ResolverOptions{dns.Address()});
  auto port = CompletionPort::Create();
  ASSERT_NE(port, nullptr);
  constexpr int kSilent = 12;
  Overlapped ovs[kSilent + 1];
  for (int i = 0; i < kSilent; ++i) {
    resolver.Resolve(port, "host" + std::to_string(i) + ".silent.test", 100 + i, &ovs[i], 1500);
  }
  resolver.Resolve(port, "fast.test", 1, &ovs[kSilent], 1500);

  Answer first = Next(port.get(), ovs);
  EXPECT_EQ(first.key, 1u) << "a lookup of the silent zone ended before the one that resolves";
  EXPECT_EQ(first.error, 0);
  EXPECT_EQ(first.address, "10.1.2.3");
  std::set<uint64_t> failed;
  for (int i = 0; i < kSilent; ++i) {
    Answer a = Next(port.get(), ovs);
    EXPECT_EQ(a.error, EHOSTUNREACH) << "key " << a.key;
    failed.insert(a.key);
  }
  EXPECT_EQ(failed.size(), static_cast<size_t>(kSilent));
  EXPECT_GT(dns.IgnoredQueries(), 0) << "the silent zone's queries never reached the server";
}

// Addresses and names of the hosts file need no DNS: they resolve with a server that never
// answers; anything else fails within the lookup's limit.
TEST(ResolverTest, ResolvesWithoutDnsWhatNeedsNone) {
  DnsTestServer silent(std::map<std::string, std::string>{});
  ResolverPool resolver(ResolverOptions{silent.Address()});
  struct Case {
    const char* host;
    bool ok;
    const char* address;
  } cases[] = {
      {"127.0.0.1", true, "127.0.0.1"}, {"localhost", true, "127.0.0.1"},
      {"name.silent.test", false, ""},  {"", false, ""},
      {"300.1.1.1.", false, ""},
  };
  for (const Case& c : cases) {
    uint32_t address = 0;
    EXPECT_EQ(resolver.ResolveWithin(c.host, 500, &address), c.ok) << c.host;
    if (c.ok) {
      EXPECT_EQ(AddressText(address), c.address) << c.host;
    }
  }
}

// A pool destroyed with lookups under way answers each of them (failed) instead of leaving
// a waiter hanging.
TEST(ResolverTest, DestructionFailsLookupsUnderWay) {
  DnsTestServer silent(std::map<std::string, std::string>{});
  auto port = CompletionPort::Create();
  ASSERT_NE(port, nullptr);
  Overlapped ov[3];
  {
    ResolverPool resolver(ResolverOptions{silent.Address()});
    for (int i = 0; i < 3; ++i) resolver.Resolve(port, "x.silent.test", 10 + i, &ov[i], 60000);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Next(port.get(), ov).error, EHOSTUNREACH);
}

}  // namespace
}  // namespace tw
