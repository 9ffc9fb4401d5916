#pragma once
// A SOCKS proxy on an ephemeral port over a fresh data directory, with the activity texts it
// posts collected for the test to read.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/account_tables.h"
#include "config/activity_log.h"
#include "config/installation.h"
#include "engine/io_context.h"
#include "engine/proxy_server.h"
#include "tests/support/test_sockets.h"

namespace tw::test {

class SocksFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tw-socks-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    data_dir_ = dir;
    std::string error;
    ASSERT_TRUE(InstallMissingDataFiles(data_dir_, &error)) << error;
    SetActivityQueue(&activity_);
    contexts_before_ = LiveContextCount();
  }

  void TearDown() override {
    if (proxy_) {
      auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (proxy_->LiveContexts() != 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      EXPECT_EQ(proxy_->LiveContexts(), 0u) << "every connection's contexts are freed";
      proxy_->Stop();
    }
    EXPECT_EQ(LiveContextCount(), contexts_before_);
    SetActivityQueue(nullptr);
    RunCommand("rm -rf '" + data_dir_ + "'");
  }

  void StartProxy(int authMode = 0, const std::string& guestRange = "") {
    proxy_ = std::make_unique<ProxyServer>(kProtocolSocks);
    proxy_->authMode = authMode;
    proxy_->guestIpRange = guestRange;
    proxy_->dataDir = data_dir_;
    ASSERT_TRUE(proxy_->Start());
  }

  void AddUser(const std::string& name, const std::string& password, int socks) {
    UserRecord u;
    u.userid = name;
    u.passwd = password;
    u.rules.server5 = socks;
    std::string error;
    ASSERT_TRUE(UserTable(data_dir_).Add(&u, &error)) << error;
  }

  int Connect() { return ConnectLoopback(static_cast<uint16_t>(proxy_->port)); }

  // The activity texts posted so far, rejoined as "DESCRIPTION:ADDRESS[,USER]".
  std::vector<std::string> Logged() {
    activity_.Drain([this](ActivityText&& t) {
      std::string line = t.description;
      if (!t.address.empty() || !t.user.empty()) line += ":" + t.address;
      if (!t.user.empty()) line += "," + t.user;
      logged_.push_back(line);
    });
    return logged_;
  }

  std::string data_dir_;
  std::unique_ptr<ProxyServer> proxy_;
  MessageQueue<ActivityText> activity_;
  std::vector<std::string> logged_;
  int64_t contexts_before_ = 0;
};

}  // namespace tw::test
