#include "hosting/metrics_listener.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/test_sockets.h"

namespace tw {
namespace {

const MetricsSources kSources{[] { return std::string("figures\n"); },
                              [] { return std::string("secret"); }};

std::string StatusLine(const std::string& reply) {
  return reply.substr(0, reply.find("\r\n"));
}

TEST(MetricsListenerTest, OnlyGetMetricsIsServedAndOnlyToWhomTheRuleAdmits) {
  struct Case {
    const char* head;
    const char* bound;
    const char* status;
  } cases[] = {
      {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n", "127.0.0.1", "HTTP/1.1 200 OK"},
      {"GET /metrics?x=1 HTTP/1.0\r\nHost: localhost\r\n\r\n", "127.0.0.1", "HTTP/1.1 200 OK"},
      {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n", "0.0.0.0",
       "HTTP/1.1 401 Unauthorized"},
      {"GET /metrics HTTP/1.1\r\nHost: h\r\nauthorization: Bearer secret\r\n\r\n", "0.0.0.0",
       "HTTP/1.1 200 OK"},
      {"GET / HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n", "127.0.0.1", "HTTP/1.1 404 Not Found"},
      {"GET /metricsx HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n", "127.0.0.1",
       "HTTP/1.1 404 Not Found"},
      {"POST /metrics HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n", "127.0.0.1",
       "HTTP/1.1 404 Not Found"},
      {"GET /metrics\r\n\r\n", "127.0.0.1", "HTTP/1.1 400 Bad Request"},
      {"\r\n\r\n", "127.0.0.1", "HTTP/1.1 400 Bad Request"},
      {"GET /metrics SPDY/3\r\n\r\n", "127.0.0.1", "HTTP/1.1 400 Bad Request"},
  };
  for (const Case& c : cases) {
    std::string reply = MetricsReply(c.head, c.bound, kSources);
    EXPECT_EQ(StatusLine(reply), c.status) << c.head;
    bool served = StatusLine(reply) == "HTTP/1.1 200 OK";
    EXPECT_EQ(reply.find("\r\n\r\nfigures\n") != std::string::npos, served) << reply;
  }
}

TEST(MetricsListenerTest, ABadAddressIsRefusedWithAText) {
  MetricsListener listener(kSources);
  std::string error;
  for (const char* bad : {"", "127.0.0.1", "localhost:9100", "127.0.0.1:65536", "1.2.3:80"}) {
    EXPECT_FALSE(listener.Start(bad, &error)) << bad;
    EXPECT_NE(error.find("metrics_address"), std::string::npos) << error;
  }
}

// Through a real socket: a whole request is answered, and a head over the bound gets 431
// and the connection ends, however much more the client would send.
TEST(MetricsListenerTest, ServesOverTheSocketAndBoundsTheHead) {
  MetricsListener listener(kSources);
  std::string error;
  ASSERT_TRUE(listener.Start("127.0.0.1:0", &error)) << error;
  uint16_t port = listener.endpoint().port;
  ASSERT_NE(port, 0);

  int fd = test::ConnectLoopback(port);
  ASSERT_NE(fd, -1);
  ASSERT_TRUE(test::SendAll(fd, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  std::string reply = test::ReadUntilClose(fd);
  close(fd);
  EXPECT_EQ(StatusLine(reply), "HTTP/1.1 200 OK");
  EXPECT_NE(reply.find("Content-Length: 8\r\n"), std::string::npos) << reply;

  fd = test::ConnectLoopback(port);
  ASSERT_NE(fd, -1);
  std::string huge = "GET /metrics HTTP/1.1\r\nX: " + std::string(kMetricsHeadMax, 'a');
  test::SendAll(fd, huge);
  reply = test::ReadUntilClose(fd);
  close(fd);
  EXPECT_EQ(StatusLine(reply), "HTTP/1.1 431 Request Header Fields Too Large");
  listener.Stop();
}

}  // namespace
}  // namespace tw
