// Response bodies on their way through the proxy, whatever their framing: every byte arrives in
// order, a kept server connection answers the next pipelined request, and a server that ends a
// body early ends the client's connection instead of leaving it waiting.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "http_fixture.h"

namespace tw::test {
namespace {

using HttpResponseBodyTest = HttpFixture;

std::string Pattern(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& ch : s) ch = static_cast<char>(rng());
  return s;
}

std::string WithLength(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Chunked(const std::string& body, size_t piece) {
  std::string out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  char size[32];
  for (size_t at = 0; at < body.size(); at += piece) {
    std::string part = body.substr(at, piece);
    std::snprintf(size, sizeof size, "%zx\r\n", part.size());
    out += size + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}

// A limit high enough never to pause, which still takes a pair off the kernel path.
constexpr int32_t kFastLimit = 1 << 30;

TEST_F(HttpResponseBodyTest, BodiesArriveByteExactAndInOrderWhateverTheirFraming) {
  const std::string big = Pattern(4 * 1024 * 1024 + 13, 1);
  const std::string huge = Pattern(16 * 1024 * 1024, 2);
  const std::string small = WithLength("second\n");
  struct Row {
    const char* name;
    std::vector<std::string> responses;  // the server's answers to requests 1, 2, ...
    int closeAfter;        // the server closes after this answer (0: never)
    size_t throttleAfter;  // the client has read this many bytes when a limit comes on (0: none)
    bool clientKept;       // the client's connection stays open after the answers
    bool spliced;          // the body is large and plain enough for the kernel to move it
    const char* surplus = "";  // bytes the server sends beyond its last answer
  } rows[] = {
      // Its first read takes the head and the start of the body; the rest is counted
      // against the length, and the next response is left for the kept connection.
      {"large length-framed body, then a pipelined one", {WithLength(big), small}, 0, 0, true,
       true},
      {"small body within the head's read, then a large one", {small, WithLength(big)}, 0, 0,
       true, true},
      {"body that runs to the close", {"HTTP/1.1 200 OK\r\n\r\n" + big}, 1, 0, false, true},
      {"limit comes on mid-body", {WithLength(huge), small}, 0, 1024 * 1024, true, false},
      // The surplus is never taken for the client; it spoils the kept connection.
      {"length-framed body with bytes beyond it", {WithLength(big)}, 0, 0, true, true, "SURPLUS"},
      {"chunked body, then a pipelined one", {Chunked(big, 100000), small}, 0, 0, true, false},
      {"server closes mid-body",
       {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" +
        big.substr(0, big.size() / 2)},
       1, 0, false, false},
  };
  StartProxy();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string after = WithLength("after\n");
    RecordingOrigin origin([&](const std::string&, int n) {
      if (static_cast<size_t>(n) > row.responses.size()) return after;
      return static_cast<size_t>(n) < row.responses.size() ? row.responses[n - 1]
                                                            : row.responses[n - 1] + row.surplus;
    });
    if (row.closeAfter != 0) origin.CloseAfterReply(row.closeAfter);
    const std::string h = origin.Host();
    int fd = Connect();
    // A small receive buffer: the proxy is still passing the body on when the limit changes.
    int rcvbuf = 64 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    // A bound on every read, so that an answer that never comes fails the row, not the run.
    timeval bound{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    auto request = [&](const std::string& path) {
      return "GET http://" + h + path + " HTTP/1.1\r\nHost: " + h + "\r\n\r\n";
    };
    std::string requests;
    std::string expected;
    for (size_t i = 0; i < row.responses.size(); ++i) {
      requests += request("/" + std::to_string(i));
      expected += row.responses[i];
    }
    int64_t spliced_before = SplicedBytes();
    ASSERT_TRUE(SendAll(fd, requests));
    std::string got;
    if (row.throttleAfter != 0) {
      got = ReadExactly(fd, row.throttleAfter);
      proxy_->SetLiveRates(kFastLimit, kFastLimit);
    }
    got += row.clientKept ? ReadExactly(fd, expected.size() - got.size()) : ReadUntilClose(fd);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the bytes differ from what the server sent";
    if (row.spliced) {
      EXPECT_GT(SplicedBytes(), spliced_before) << "the kernel moved the body";
    }
    if (row.clientKept) {
      // The pair followed every response to its end: the next request is answered on the
      // same server connection (or a new one, when the server sent more than its answers).
      EXPECT_TRUE(NothingReadable(fd)) << "nothing follows the answers";
      ASSERT_TRUE(SendAll(fd, request("/after")));
      EXPECT_EQ(ReadExactly(fd, after.size()), after);
      EXPECT_EQ(origin.Connections(), *row.surplus == '\0' ? 1u : 2u)
          << "the server connection was kept unless the server spoilt it";
    }
    close(fd);
    EXPECT_TRUE(WaitUntil([&] { return origin.Ended(origin.Connections() - 1); }));
  }
}

}  // namespace
}  // namespace tw::test
