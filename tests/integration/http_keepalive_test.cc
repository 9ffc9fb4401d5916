// Destination connections kept between the requests of one client connection: what happens when
// the server ends a kept connection, sends more than its response, or the client turns to
// another server. Every request is still logged, and every answer comes back in order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "http_fixture.h"

namespace tw::test {
namespace {

using HttpKeepAliveTest = HttpFixture;

std::string Get(const std::string& host, const std::string& path) {
  return "GET http://" + host + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

// A first GET is answered, then a second request goes to the same server, which the script
// makes end or spoil the kept connection.
TEST_F(HttpKeepAliveTest, SecondRequestIsAnsweredWhateverBecameOfTheKeptConnection) {
  const std::string spoiled = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokSURPLUS";
  struct Row {
    const char* name;
    std::function<void(RecordingOrigin*)> script;
    bool spoil;          // the first response carries bytes beyond its end
    const char* second;  // the second request's method and body
    const char* answer;  // what the second answer holds
    size_t connections;  // server connections the two requests took
  } rows[] = {
      {"closed after its reply", [](RecordingOrigin* o) { o->CloseAfterReply(1); }, false, "GET",
       "\r\n\r\nreply 2\n", 2},
      {"closed unanswered, GET goes again", [](RecordingOrigin* o) { o->CloseUnanswered(2); },
       false, "GET", "\r\n\r\nreply 3\n", 2},
      {"closed unanswered, HEAD goes again", [](RecordingOrigin* o) { o->CloseUnanswered(2); },
       false, "HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n", 2},
      {"closed unanswered, POST is not repeated", [](RecordingOrigin* o) { o->CloseUnanswered(2); },
       false, "POST", "HTTP/1.0 502 Bad Gateway\r\n", 1},
      {"bytes beyond the response", [](RecordingOrigin*) {}, true, "GET", "\r\n\r\nreply 2\n", 2},
      {"kept and used again", [](RecordingOrigin*) {}, false, "GET", "\r\n\r\nreply 2\n", 1},
  };
  StartProxy();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RecordingOrigin origin([&](const std::string&, int n) {
      std::string text = "reply " + std::to_string(n) + "\n";
      if (n == 1 && row.spoil) return spoiled;
      return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n" +
             text;
    });
    row.script(&origin);
    const std::string h = origin.Host();
    int fd = Connect();
    ASSERT_TRUE(SendAll(fd, Get(h, "/one")));
    std::string first = ReadResponse(fd);
    EXPECT_EQ(first.substr(first.find("\r\n\r\n")), row.spoil ? "\r\n\r\nok" : "\r\n\r\nreply 1\n");
    std::string method = row.second;
    std::string second = method + " http://" + h + "/two HTTP/1.1\r\nHost: " + h + "\r\n";
    second += method == "POST" ? "Content-Length: 1\r\n\r\nx" : "\r\n";
    ASSERT_TRUE(SendAll(fd, second));
    // A HEAD answer announces a body it does not send: its head is read alone.
    std::string answer = method == "HEAD" ? ReadExactly(fd, 38) : ReadResponse(fd);
    EXPECT_NE(answer.find(row.answer), std::string::npos) << answer;
    close(fd);
    EXPECT_EQ(origin.Connections(), row.connections);
    EXPECT_TRUE(WaitUntil([&] { return origin.Ended(origin.Connections() - 1); }));
  }
  EXPECT_EQ(Logged().size(), 2 * std::size(rows)) << "every request is logged";
}

// A request to another server ends the kept connection; coming back takes a new one.
TEST_F(HttpKeepAliveTest, AnotherServerEndsTheKeptConnection) {
  StartProxy();
  RecordingOrigin a;
  RecordingOrigin b;
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, Get(a.Host(), "/1")));
  EXPECT_NE(ReadResponse(fd).find("reply 1"), std::string::npos);
  ASSERT_TRUE(SendAll(fd, Get(b.Host(), "/2")));
  EXPECT_NE(ReadResponse(fd).find("reply 1"), std::string::npos);
  EXPECT_TRUE(WaitUntil([&] { return a.Ended(0); })) << "the first server's connection ends";
  ASSERT_TRUE(SendAll(fd, Get(a.Host(), "/3") + Get(a.Host(), "/4")));
  EXPECT_NE(ReadResponse(fd).find("reply 2"), std::string::npos);
  EXPECT_NE(ReadResponse(fd).find("reply 3"), std::string::npos);
  close(fd);
  EXPECT_EQ(a.Connections(), 2u);
  EXPECT_EQ(b.Connections(), 1u);
  EXPECT_EQ(a.Received(1), "GET /3 HTTP/1.1\r\nHost: " + a.Host() +
                               "\r\n\r\nGET /4 HTTP/1.1\r\nHost: " + a.Host() + "\r\n\r\n");
}

// A client idle between requests, and the server connection kept for it, hold no buffer; the
// next request still goes on the kept connection.
TEST_F(HttpKeepAliveTest, IdleClientAndKeptConnectionHoldNoBuffer) {
  StartProxy();
  RecordingOrigin origin;
  const std::string h = origin.Host();
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, Get(h, "/one")));
  EXPECT_NE(ReadResponse(fd).find("reply 1"), std::string::npos);
  EXPECT_TRUE(WaitUntil([] { return IoBuffersInUse() == 0; }))
      << IoBuffersInUse() << " buffers held by an idle client";
  ASSERT_TRUE(SendAll(fd, Get(h, "/two")));
  EXPECT_NE(ReadResponse(fd).find("reply 2"), std::string::npos);
  EXPECT_EQ(origin.Connections(), 1u);
  close(fd);
}

}  // namespace
}  // namespace tw::test
