// The idle limit as clients see it: a tunnel that moves nothing either way is closed by the
// proxy once the limit has passed, both sides of it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "http_fixture.h"

namespace tw::test {
namespace {

class IdleLimitTest : public HttpFixture {};

TEST_F(IdleLimitTest, IdleTunnelIsClosedBothWays) {
  NewProxy(kProtocolHttp).idleTimeoutMs = 1000;
  ASSERT_TRUE(proxy_->Start(settings_));
  TestServer echo(TestServer::kEcho);
  int fd = Connect();
  std::string target = "127.0.0.1:" + std::to_string(echo.port());
  ASSERT_TRUE(SendAll(fd, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n"));
  std::string reply = ReadLine(fd);
  EXPECT_EQ(reply.rfind("HTTP/1.", 0), 0u) << reply;
  while (ReadLine(fd) != "\r\n") {
  }
  ASSERT_TRUE(SendAll(fd, "still here"));
  EXPECT_EQ(ReadExactly(fd, 10), "still here") << "the tunnel carries bytes before it idles";
  // Neither side sends again: the proxy ends the tunnel, the client sees the close.
  EXPECT_TRUE(WaitForClose(fd)) << "an idle tunnel stays open";
  EXPECT_TRUE(WaitUntil([this] { return proxy_->LiveContexts() == 0; }))
      << "the destination side of the idle tunnel stays open";
  close(fd);
}

}  // namespace
}  // namespace tw::test
