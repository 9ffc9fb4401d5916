// The strict request head reading and the body and response framing, byte for byte: every
// table is also fed in pieces of every size, since the network may cut a message anywhere.
#include <gtest/gtest.h>

#include <string>

#include "engine/http/http_body_framing.h"
#include "engine/http/http_request_head.h"
#include "engine/http/http_response_framing.h"

namespace tw {
namespace {

// Feeds data to the request scanner as reads of `step` bytes would bring it.
HeadScan ScanInSteps(const std::string& data, size_t step, uint32_t* checked) {
  HeadScan scan = HeadScan::kIncomplete;
  for (size_t end = std::min(step, data.size());; end = std::min(end + step, data.size())) {
    scan = ScanRequestHead(std::string_view(data).substr(0, end), checked);
    if (scan != HeadScan::kIncomplete || end == data.size()) return scan;
  }
}

TEST(HttpRequestHeadTest, HeadsTwoReadersMightFrameDifferentlyAreRefused) {
  struct Case {
    const char* what;
    std::string head;
  } cases[] = {
      {"no colon", "GET http://h/ HTTP/1.1\r\nHost h\r\n\r\n"},
      {"empty name", "GET http://h/ HTTP/1.1\r\n: v\r\n\r\n"},
      {"blank before colon", "GET http://h/ HTTP/1.1\r\nHost : h\r\n\r\n"},
      {"blank inside name", "GET http://h/ HTTP/1.1\r\nX Y: v\r\n\r\n"},
      {"NUL in a value", std::string("GET http://h/ HTTP/1.1\r\nX: a\0b\r\n\r\n", 33)},
      {"NUL in the line still arriving", std::string("GET http://h/ HTTP/1.1\r\nX: \0", 28)},
      {"bare CR in a value", "GET http://h/ HTTP/1.1\r\nX: a\rb\r\n\r\n"},
      {"bare CR in the request line", "GET http://h/\r HTTP/1.1\r\n\r\n"},
      {"obsolete folding", "GET http://h/ HTTP/1.1\r\nX: a\r\n b\r\n\r\n"},
      {"origin form", "GET / HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"origin form, head unfinished", "GET /x HTTP/1.1\r\nHost: h"},
      {"asterisk without OPTIONS", "GET * HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"CONNECT with a URL", "CONNECT http://h:443/ HTTP/1.1\r\n\r\n"},
      {"CONNECT without port", "CONNECT h HTTP/1.1\r\n\r\n"},
      {"CONNECT without host", "CONNECT :443 HTTP/1.1\r\n\r\n"},
      {"version 2", "GET http://h/ HTTP/2.0\r\n\r\n"},
      {"version 1.2", "GET http://h/ HTTP/1.2\r\n\r\n"},
      {"no version", "GET http://h/\r\n\r\n"},
      {"two blanks", "GET  http://h/ HTTP/1.1\r\n\r\n"},
      {"trailing blank", "GET http://h/ HTTP/1.1 \r\n\r\n"},
      {"method not a token", "G(T http://h/ HTTP/1.1\r\n\r\n"},
      {"empty request line", "\r\n\r\n"},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{1}, size_t{7}, c.head.size()}) {
      uint32_t checked = 0;
      EXPECT_EQ(ScanInSteps(c.head, step, &checked), HeadScan::kBad) << c.what << " step " << step;
    }
  }
}

TEST(HttpRequestHeadTest, FramingHeadersDecideTheBodyOrRefuse) {
  struct Case {
    const char* what;
    std::string fields;
    bool ok;
    HttpBodyKind body;
    uint64_t length;
  } cases[] = {
      {"none", "", true, kBodyNone, 0},
      {"length", "Content-Length: 12\r\n", true, kBodyLength, 12},
      {"equal lengths", "Content-Length: 5\r\ncontent-length:5\r\n", true, kBodyLength, 5},
      {"equal list", "Content-Length: 5 , 5\r\n", true, kBodyLength, 5},
      {"chunked", "Transfer-Encoding: gzip, Chunked\r\n", true, kBodyChunked, 0},
      {"chunked over lines", "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", true,
       kBodyChunked, 0},
      {"differing lengths", "Content-Length: 5\r\nContent-Length: 6\r\n", false, kBodyNone, 0},
      {"differing list", "Content-Length: 5, 6\r\n", false, kBodyNone, 0},
      {"signed length", "Content-Length: +5\r\n", false, kBodyNone, 0},
      {"empty length", "Content-Length: \r\n", false, kBodyNone, 0},
      {"huge length", "Content-Length: 99999999999999999999\r\n", false, kBodyNone, 0},
      {"both", "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", false, kBodyNone, 0},
      {"chunked not last", "Transfer-Encoding: chunked, gzip\r\n", false, kBodyNone, 0},
  };
  for (const Case& c : cases) {
    std::string head = "POST http://h/ HTTP/1.1\r\nHost: h\r\n" + c.fields + "\r\n";
    uint32_t checked = 0;
    ASSERT_EQ(ScanRequestHead(head, &checked), HeadScan::kComplete) << c.what;
    RequestHead out;
    ASSERT_EQ(ReadRequestHead(std::string_view(head).substr(0, checked), &out), c.ok) << c.what;
    if (!c.ok) continue;
    EXPECT_EQ(out.body, c.body) << c.what;
    EXPECT_EQ(out.length, c.length) << c.what;
  }
}

TEST(HttpRequestHeadTest, BareLineFeedsEndLinesAndTheHeadIsPassedOnInCrLf) {
  struct Case {
    std::string data;
    uint32_t head_length;
    std::string text;
  } cases[] = {
      {"GET http://h/ HTTP/1.1\nHost: h\n\nnext", 32, "GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"GET http://h/ HTTP/1.0\r\nHost: h\n\r\n", 34, "GET http://h/ HTTP/1.0\r\nHost: h\r\n\r\n"},
      {"OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n", 31, "OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"CONNECT h:443 HTTP/1.1\r\n\r\nTLS", 26, "CONNECT h:443 HTTP/1.1\r\n\r\n"},
  };
  for (const Case& c : cases) {
    uint32_t checked = 0;
    ASSERT_EQ(ScanInSteps(c.data, 1, &checked), HeadScan::kComplete) << c.data;
    EXPECT_EQ(checked, c.head_length) << c.data;
    RequestHead out;
    ASSERT_TRUE(ReadRequestHead(std::string_view(c.data).substr(0, checked), &out)) << c.data;
    EXPECT_EQ(out.text, c.text);
  }
  uint32_t checked = 0;
  EXPECT_EQ(ScanRequestHead("GET http://h/ HTTP/1.1\r\nHost: h\r", &checked), HeadScan::kIncomplete)
      << "a CR at the end of what has arrived may still be followed by its LF";
}

// Feeds a message in pieces of `step` bytes until it ends or fails (kMore is the enumerations'
// first value); the total taken and the last progress.
template <class State, class Progress, class Take>
Progress FeedInSteps(State* s, const std::string& data, size_t step, size_t* taken, Take take) {
  *taken = 0;
  Progress p{};
  for (size_t at = 0; at < data.size();) {
    size_t n = std::min(step, data.size() - at);
    size_t used = 0;
    p = take(s, std::string_view(data).substr(at, n), &used);
    *taken += used;
    if (p != Progress{} || used < n) return p;
    at += n;
  }
  return p;
}

TEST(HttpBodyFramingTest, ChunkedAndLengthBodiesEndWhereTheyEnd) {
  struct Case {
    const char* what;
    HttpBodyKind kind;
    uint64_t length;
    std::string body;  // the body; "|" and what follows belong to the next message
    BodyProgress progress;
  } cases[] = {
      {"length", kBodyLength, 4, "ab\r\n|GET", BodyProgress::kDone},
      {"length not yet whole", kBodyLength, 9, "abc", BodyProgress::kMore},
      {"chunked", kBodyChunked, 0, "5\r\nhello\r\n0\r\n\r\n|GET", BodyProgress::kDone},
      {"chunked with extensions, trailers, bare LF", kBodyChunked, 0,
       "A;x=\"1\"\n0123456789\n0\r\nT: 1\r\nU: 2\n\r\n|next", BodyProgress::kDone},
      {"chunk data holding framing", kBodyChunked, 0, "5\r\n0\r\n\r\n\r\n0\r\n\r\n|",
       BodyProgress::kDone},
      {"chunked not yet whole", kBodyChunked, 0, "5\r\nhel", BodyProgress::kMore},
      {"no size", kBodyChunked, 0, "\r\nhello", BodyProgress::kBad},
      {"not hex", kBodyChunked, 0, "g\r\n", BodyProgress::kBad},
      {"size too large", kBodyChunked, 0, "10000000000000000\r\n", BodyProgress::kBad},
      {"data longer than its size", kBodyChunked, 0, "2\r\nabc\r\n", BodyProgress::kBad},
      {"bare CR after the size", kBodyChunked, 0, "2\rab", BodyProgress::kBad},
      {"size line too long", kBodyChunked, 0, "1;" + std::string(kMaxChunkLine, 'x'),
       BodyProgress::kBad},
      {"trailers too long", kBodyChunked, 0, "0\r\nT: " + std::string(kMaxTrailer, 'x'),
       BodyProgress::kBad},
      {"until close", kBodyUntilClose, 0, "anything\r\n\r\n0\r\n\r\n", BodyProgress::kMore},
  };
  for (const Case& c : cases) {
    std::string data = c.body;
    size_t bar = data.find('|');
    size_t body_size = bar == std::string::npos ? data.size() : bar;
    if (bar != std::string::npos) data.erase(bar, 1);
    for (size_t step : {size_t{1}, size_t{3}, data.size()}) {
      HttpBodyState s;
      StartBody(&s, c.kind, c.length);
      size_t taken = 0;
      BodyProgress p = FeedInSteps<HttpBodyState, BodyProgress>(&s, data, step, &taken, TakeBody);
      EXPECT_EQ(p, c.progress) << c.what << " step " << step;
      if (c.progress != BodyProgress::kBad) {
        EXPECT_EQ(taken, body_size) << c.what;
      }
    }
  }
}

TEST(HttpResponseFramingTest, ResponsesEndAsTheirStatusAndFramingSay) {
  struct Case {
    const char* what;
    bool head_request;
    std::string response;  // "|" and what follows are not part of it
    ResponseProgress progress;
  } cases[] = {
      {"length", false, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc|HTTP/1.1",
       ResponseProgress::kDone},
      {"chunked with trailers", false,
       "HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\nX: y\r\n\r\n|x",
       ResponseProgress::kDone},
      {"chunked wins over length", false,
       "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n|x",
       ResponseProgress::kDone},
      {"HEAD has no body", true, "HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n|body",
       ResponseProgress::kDone},
      {"204", false, "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n|x",
       ResponseProgress::kDone},
      {"304", false, "HTTP/1.1 304 Not Modified\r\n\r\n|x", ResponseProgress::kDone},
      {"interim responses, then the final one", false,
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\nLink: x\n\n"
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok|x",
       ResponseProgress::kDone},
      {"switching protocols", false, "HTTP/1.1 101 Switching\r\nUpgrade: ws\r\n\r\n|frames",
       ResponseProgress::kSwitched},
      {"until close", false, "HTTP/1.0 200 OK\r\n\r\nbody that runs on", ResponseProgress::kMore},
      {"other coding runs until close", false,
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\nxyz", ResponseProgress::kMore},
      {"long header lines pass", false,
       "HTTP/1.1 200 OK\r\nSet-Cookie: " + std::string(500, 'c') +
           "\r\nContent-Length: 1\r\n\r\nz|x",
       ResponseProgress::kDone},
      {"differing lengths", false,
       "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", ResponseProgress::kBad},
      {"cut framing line", false,
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: " + std::string(200, ' ') + "chunked\r\n\r\n",
       ResponseProgress::kBad},
      {"not a status line", false, "HTP/1.1 200 OK\r\n\r\n", ResponseProgress::kBad},
      {"NUL in the head", false, std::string("HTTP/1.1 200 OK\r\nX: \0\r\n\r\n", 25),
       ResponseProgress::kBad},
      {"head too long", false, "HTTP/1.1 200 OK\r\n" + std::string(kMaxResponseHead, 'x'),
       ResponseProgress::kBad},
  };
  for (const Case& c : cases) {
    std::string data = c.response;
    size_t bar = data.find('|');
    size_t size = bar == std::string::npos ? data.size() : bar;
    if (bar != std::string::npos) data.erase(bar, 1);
    for (size_t step : {size_t{1}, size_t{5}, data.size()}) {
      HttpResponseState s;
      StartResponse(&s, c.head_request);
      size_t taken = 0;
      ResponseProgress p =
          FeedInSteps<HttpResponseState, ResponseProgress>(&s, data, step, &taken, TakeResponse);
      EXPECT_EQ(p, c.progress) << c.what << " step " << step;
      if (c.progress != ResponseProgress::kBad) {
        EXPECT_EQ(taken, size) << c.what;
      }
    }
  }
}

}  // namespace
}  // namespace tw
