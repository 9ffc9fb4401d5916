#pragma once
// A POP3 or SMTP proxy on an ephemeral port over a fresh data directory, with the activity
// texts it posts collected, raw client helpers, and a check at the end that every
// connection's contexts were freed.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/activity_log.h"
#include "config/installation.h"
#include "engine/io_context.h"
#include "engine/proxy_server.h"
#include "tests/support/mail_test_server.h"
#include "tests/support/test_sockets.h"

namespace tw::test {

class MailFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tw-mail-XXXXXX";
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

  void StartProxy(int32_t protocol, const std::string& guestRange = "",
                  uint32_t dialogueTimeoutMs = 60000) {
    proxy_ = std::make_unique<ProxyServer>(protocol);
    proxy_->guestIpRange = guestRange;
    proxy_->dataDir = data_dir_;
    proxy_->dialogueTimeoutMs = dialogueTimeoutMs;
    ASSERT_TRUE(proxy_->Start());
  }

  int Connect() { return ConnectLoopback(static_cast<uint16_t>(proxy_->port)); }

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
    });
    return logged_;
  }

  std::string data_dir_;
  std::unique_ptr<ProxyServer> proxy_;
  MessageQueue<ActivityText> activity_;
  std::vector<std::string> logged_;
  int64_t contexts_before_ = 0;
};

// Lets the proxy take what was sent so far as a read of its own before more follows, as a slow
// network would deliver it (for tests of messages split over reads).
inline void PacketGap() { std::this_thread::sleep_for(std::chrono::milliseconds(150)); }

}  // namespace tw::test
