#pragma once
// A POP3 or SMTP proxy over a fresh data directory (see proxy_fixture.h); the scripted mail
// servers are in tests/support/mail_test_server.h.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "proxy_fixture.h"
#include "tests/support/mail_test_server.h"

namespace tw::test {

class MailFixture : public ProxyFixture {
 protected:
  void StartProxy(int32_t protocol, const std::string& guestRange = "",
                  uint32_t dialogueTimeoutMs = 60000) {
    NewProxy(protocol, 0, guestRange).dialogueTimeoutMs = dialogueTimeoutMs;
    ASSERT_TRUE(proxy_->Start(settings_));
  }

  // The destination policy for a mail proxy: by default the loopback server at serverPort,
  // with local destinations allowed the proxy's own port, each named by address and by name.
  // send(target) opens a client and names "host:port" as its server; the reply is `refused`.
  void ExpectLocalAndOwnDestinationsRefused(int32_t protocol, uint16_t serverPort,
                                            const std::function<int(const std::string&)>& send,
                                            const std::string& refused) {
    for (bool allowLocal : {false, true}) {
      allow_local_destinations_ = allowLocal;
      StartProxy(protocol);
      std::string port = std::to_string(allowLocal ? proxy_->port() : serverPort);
      for (std::string host : {"127.0.0.1:", "localhost:"}) {
        int fd = send(host + port);
        ASSERT_NE(fd, -1);
        EXPECT_EQ(ReadUntilClose(fd), refused) << host << " switch " << allowLocal;
        close(fd);
      }
      std::vector<std::string> logged = Logged();
      EXPECT_EQ(std::count(logged.begin(), logged.end(),
                           "Refused destination 127.0.0.1:" + port + ":127.0.0.1"),
                2)
          << testing::PrintToString(logged);
      ASSERT_TRUE(WaitUntil([this] { return proxy_->LiveContexts() == 0; }));
      proxy_->Stop();
      logged_.clear();
    }
  }
};

}  // namespace tw::test
