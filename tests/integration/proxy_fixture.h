#pragma once
// One proxy of the engine on an ephemeral port over a fresh data directory, with the activity
// texts it posts collected for the test to read, and a check at the end that every
// connection's contexts were freed. The per-protocol fixtures derive from it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/account_tables.h"
#include "config/activity_log.h"
#include "config/installation.h"
#include "config/protocols.h"
#include "engine/core/io_context.h"
#include "engine/core/proxy_server.h"
#include "engine/proxy_protocols.h"
#include "platform/mutex.h"
#include "platform/resolver.h"
#include "tests/support/dns_test_server.h"
#include "tests/support/test_sockets.h"

namespace tw::test {

// True once done() holds, polled for at most ten seconds.
inline bool WaitUntil(const std::function<bool()>& done) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A traffic sink that sums what a listener reports, by user ("guest" for a guest).
class RecordingTrafficSink : public TrafficSink {
 public:
  struct Sum {
    uint64_t up = 0, down = 0;
  };
  void ConnectionEnded(int, std::string_view user, uint32_t, uint64_t up, uint64_t down) override {
    MutexLock lock(mu_);
    Sum& s = sums_[user.empty() ? "guest" : std::string(user)];
    s.up += up;
    s.down += down;
  }
  std::map<std::string, Sum> Sums() {
    MutexLock lock(mu_);
    return sums_;
  }

 private:
  Mutex mu_;
  std::map<std::string, Sum> sums_;
};

class ProxyFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tw-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    data_dir_ = dir;
    std::string error;
    ASSERT_TRUE(InstallMissingDataFiles(data_dir_, &error)) << error;
    contexts_before_ = LiveContextCount();
  }

  void TearDown() override {
    if (proxy_) {
      EXPECT_TRUE(WaitUntil([this] { return proxy_->LiveContexts() == 0; }))
          << proxy_->LiveContexts() << " contexts left: every connection's contexts are freed";
      BeforeStop();
      proxy_->Stop();
    }
    EXPECT_EQ(LiveContextCount(), contexts_before_);
    RunCommand("rm -rf '" + data_dir_ + "'");
  }

  // What a fixture waits for besides the contexts before the proxy stops.
  virtual void BeforeStop() {}

  // A proxy of the protocol over this data directory, not started yet; the settings it will
  // be started with (settings_), for the caller to adjust.
  ListenerSettings& NewProxy(int32_t protocol, int authMode = 0,
                             const std::string& guestRange = "") {
    proxy_ = std::make_unique<ProxyServer>(protocol, ProtocolFor(protocol),
                                           ActivitySink(&activity_), resolver_.get());
    settings_ = ListenerSettings{};
    settings_.authMode = authMode;
    settings_.guestRuleOn = !guestRange.empty();
    settings_.guestIpRange = guestRange;
    settings_.dataDir = data_dir_;
    settings_.allowLocalDestinations = allow_local_destinations_;
    settings_.traffic = traffic_sink_;
    if (resolver_) settings_.lookupTimeoutMs = kSilentLookupMs;
    return settings_;
  }

  // A user; `rules` sets its rights and limits.
  void AddUserWithRules(const std::string& name, const std::string& password,
                        const std::function<void(AccountRules*)>& rules) {
    UserRecord u;
    u.userid = name;
    u.passwd = password;
    if (rules) rules(&u.rules);
    std::string error;
    ASSERT_TRUE(UserTable(data_dir_).Add(&u, &error)) << error;
  }

  // Names are looked up at a DNS server that never answers, within a short limit: every name
  // fails as one in a silent zone does. Call before NewProxy.
  void UseSilentDns() {
    dns_ = std::make_unique<DnsTestServer>(std::map<std::string, std::string>{});
    resolver_ = std::make_unique<ResolverPool>(ResolverOptions{dns_->Address()});
  }
  static constexpr uint32_t kSilentLookupMs = 200;  // a short wait for the tests that fail

  int Connect() { return ConnectLoopback(static_cast<uint16_t>(proxy_->port())); }

  // Reads up to and including the next "\n" (or what came before a close or time-out).
  static std::string ReadLine(int fd) {
    std::string line;
    while (line.empty() || line.back() != '\n') {
      std::string c = ReadExactly(fd, 1);
      if (c.empty()) break;
      line += c;
    }
    return line;
  }

  // The activity texts posted so far, rejoined as "DESCRIPTION:ADDRESS[,USER]".
  std::vector<std::string> Logged() {
    activity_.Drain([this](ActivityText&& t) {
      std::string line = t.description;
      if (!t.address.empty() || !t.user.empty()) line += ":" + t.address;
      if (!t.user.empty()) line += "," + t.user;
      logged_.push_back(line);
      logged_parts_.push_back(std::move(t));
    });
    return logged_;
  }
  // True once the activity text `line` (as Logged() joins it) has been posted, polled within
  // WaitUntil's bound: a log line may be posted after the bytes the client reads.
  bool WaitForLogged(const std::string& line) {
    return WaitUntil([&] {
      std::vector<std::string> logged = Logged();
      return std::find(logged.begin(), logged.end(), line) != logged.end();
    });
  }
  // The same texts as posted, part by part (for names that hold ":" or ",").
  std::vector<ActivityText> LoggedParts() {
    Logged();
    return logged_parts_;
  }

  std::string data_dir_;
  // Declared before the proxy, which must go first.
  std::unique_ptr<DnsTestServer> dns_;
  std::unique_ptr<ResolverPool> resolver_;
  std::unique_ptr<ProxyServer> proxy_;
  ListenerSettings settings_;
  MessageQueue<ActivityText> activity_;
  std::vector<std::string> logged_;
  std::vector<ActivityText> logged_parts_;
  int64_t contexts_before_ = 0;
  // The fixtures' servers are on loopback; the tests of the destination policy turn this off.
  bool allow_local_destinations_ = true;
  TrafficSink* traffic_sink_ = nullptr;  // where NewProxy's listener reports its bytes
};

// Lets the proxy take what was sent so far as a read of its own before more follows, as a slow
// network would deliver it (for tests of messages split over reads).
inline void PacketGap() {
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

}  // namespace tw::test
