#pragma once
// The SOCKS proxy over a fresh data directory (see proxy_fixture.h).
#include <string>

#include "proxy_fixture.h"

namespace tw::test {

class SocksFixture : public ProxyFixture {
 protected:
  void StartProxy(int authMode = 0, const std::string& guestRange = "") {
    NewProxy(kProtocolSocks, authMode, guestRange);
    ASSERT_TRUE(proxy_->Start(settings_));
  }

  void AddUser(const std::string& name, const std::string& password, int socks) {
    AddUserWithRules(name, password, [socks](AccountRules* r) { r->server5 = socks; });
  }
};

}  // namespace tw::test
