#pragma once
// A POP3 or SMTP proxy over a fresh data directory (see proxy_fixture.h); the scripted mail
// servers are in tests/support/mail_test_server.h.
#include <cstdint>
#include <string>

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
};

}  // namespace tw::test
