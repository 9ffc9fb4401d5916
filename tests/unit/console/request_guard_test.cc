#include "console/request_guard.h"

#include <gtest/gtest.h>

#include "console/console_command_line.h"
#include "console/web_server.h"

namespace tw {
namespace {

ConsoleIdentity Identity(const char* bound = "127.0.0.1") {
  return {bound, 8808, std::string(64, 'a'), std::string(64, 'c'), {"192.0.2.7", "127.0.0.1"}};
}

TEST(RequestGuardTest, HostMustNameTheConsole) {
  struct Case {
    const char* bound;
    const char* host;
    bool allowed;
  } cases[] = {
      {"127.0.0.1", "127.0.0.1:8808", true},
      {"127.0.0.1", "LocalHost:8808", true},
      {"127.0.0.1", "[::1]:8808", true},
      {"127.0.0.1", "127.0.0.1:8809", false},  // another console's port
      {"127.0.0.1", "127.0.0.1", false},       // no port
      {"127.0.0.1", "rebound.example:8808", false},
      {"127.0.0.1", "localhost.rebound.example:8808", false},
      {"127.0.0.1", "192.0.2.7:8808", false},  // not bound there
      {"192.0.2.7", "192.0.2.7:8808", true},
      {"0.0.0.0", "192.0.2.7:8808", true},  // any of the machine's addresses
      {"0.0.0.0", "198.51.100.1:8808", false},
      {"127.0.0.1", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HostAllowed(c.host, Identity(c.bound)), c.allowed) << c.bound << " " << c.host;
  }
}

TEST(RequestGuardTest, TokenCookieAndCsrfDecideAccess) {
  const std::string token(64, 'a');
  const std::string csrf(64, 'c');
  const std::string cookie = "other=1; tarnwick_session_8808=" + token;
  const std::string wrongPortCookie = "tarnwick_session_8809=" + token;
  const std::string bearer = "Bearer " + token;
  const std::string lowerBearer = "bearer " + token;
  const std::string wrongBearer = "Bearer " + std::string(64, 'b');
  struct Case {
    const char* name;
    RequestFacts facts;
    Access access;
  } cases[] = {
      {"bearer", {"POST", "127.0.0.1:8808", bearer, "", ""}, Access::kAllowed},
      {"bearer word in any case", {"GET", "127.0.0.1:8808", lowerBearer, "", ""},
       Access::kAllowed},
      {"wrong bearer", {"GET", "127.0.0.1:8808", wrongBearer, cookie, ""},
       Access::kNoCredentials},
      {"cookie read", {"GET", "127.0.0.1:8808", "", cookie, ""}, Access::kAllowed},
      {"cookie change without csrf", {"POST", "127.0.0.1:8808", "", cookie, ""}, Access::kBadCsrf},
      {"cookie change with wrong csrf", {"POST", "127.0.0.1:8808", "", cookie, token},
       Access::kBadCsrf},
      {"cookie change with csrf", {"POST", "127.0.0.1:8808", "", cookie, csrf}, Access::kAllowed},
      {"another console's cookie", {"GET", "127.0.0.1:8808", "", wrongPortCookie, ""},
       Access::kNoCredentials},
      {"nothing", {"GET", "127.0.0.1:8808", "", "", ""}, Access::kNoCredentials},
      {"good bearer, rebound host", {"GET", "rebound.example:8808", bearer, "", ""},
       Access::kBadHost},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckAccess(c.facts, Identity()), c.access) << c.name;
  EXPECT_FALSE(LoginTokenValid("", ConsoleIdentity{})) << "an empty secret never logs in";
}

TEST(RequestGuardTest, SessionCookieIsHttpOnlyStrictAndNamedWithThePort) {
  EXPECT_EQ(SessionCookie(Identity()),
            "tarnwick_session_8808=" + std::string(64, 'a') + "; Path=/; HttpOnly; SameSite=Strict");
  EXPECT_EQ(CookieValue("a=1;  b=2; tarnwick_session_1=x", "b"), "2");
  EXPECT_EQ(CookieValue("ab=1", "b"), "");
}

TEST(RequestGuardTest, DeeplyNestedJsonIsRefusedBeforeParsing) {
  EXPECT_TRUE(JsonDepthWithin(R"({"a":[1,{"b":"[[[[[["}]})", 3));
  EXPECT_FALSE(JsonDepthWithin(std::string(65, '[') + std::string(65, ']'), 64));
  EXPECT_TRUE(JsonDepthWithin(R"({"a":"\"[[[["})", 1)) << "brackets inside strings do not count";
}

TEST(ConsoleCommandLineTest, Arguments) {
  struct Case {
    std::vector<const char*> args;
    std::string dataDir, address;
    int port;
    bool url;
    bool error;
  } cases[] = {
      {{"tarnwick"}, "", "", -1, false, false},
      {{"tarnwick", "--data", "/d/", "--console", "127.0.0.1:0"}, "/d", "127.0.0.1", 0, false,
       false},
      {{"tarnwick", "--data=/d", "--console=0.0.0.0:8808", "--url"}, "/d", "0.0.0.0", 8808, true,
       false},
      {{"tarnwick", "--console", "localhost:8808"}, "", "", -1, false, true},
      {{"tarnwick", "--console", "127.0.0.1:65536"}, "", "", -1, false, true},
      {{"tarnwick", "--console", "127.0.0.1"}, "", "", -1, false, true},
      {{"tarnwick", "--data"}, "", "", -1, false, true},
      {{"tarnwick", "/tmp/--url"}, "", "", -1, false, true},
  };
  for (const Case& c : cases) {
    ConsoleCommandLine cl = ParseConsoleCommandLine(static_cast<int>(c.args.size()), c.args.data());
    std::string line = c.args.size() > 1 ? c.args[1] : "";
    EXPECT_EQ(!cl.error.empty(), c.error) << line;
    if (c.error) continue;
    EXPECT_EQ(cl.dataDir, c.dataDir) << line;
    EXPECT_EQ(cl.consoleAddress, c.address) << line;
    EXPECT_EQ(cl.consolePort, c.port) << line;
    EXPECT_EQ(cl.urlOnly, c.url) << line;
  }
}

}  // namespace
}  // namespace tw
