// The HTTP proxy's request parsing and rewriting, the web-filter decision and the reply texts,
// without sockets.
#include "engine/http/http_messages.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/base64.h"

namespace tw {
namespace {

TEST(HttpMessagesTest, MethodWordsStartARequestInAnyCase) {
  struct Case {
    std::string data;
    bool request;
  } cases[] = {
      {"GET / HTTP/1.1", true},
      {"get /", true},
      {"PUT x", true},
      {"POST x", true},
      {"HEAD x", true},
      {"connect h:1", true},
      {"GET", false},
      {"GETS /", false},
      {"OPTIONS * HTTP/1.1", false},
      {"", false},
      {" GET /", false},
  };
  for (const Case& c : cases) EXPECT_EQ(StartsWithMethod(c.data), c.request) << c.data;
}

TEST(HttpMessagesTest, HeaderBlockEndsAtTheFirstBlankLine) {
  EXPECT_EQ(HeaderBlockLength("GET / HTTP/1.1\r\nHost: h\r\n\r\nbody"), 27u);
  EXPECT_EQ(HeaderBlockLength("GET / HTTP/1.1\r\nHost: h\r\n"), 0u);
  EXPECT_EQ(HeaderBlockLength("GET / HTTP/1.1\nHost: h\n\n"), 0u);
}

TEST(HttpMessagesTest, HeadersAreFoundOnlyAtALineStartWithTheExactSpelling) {
  std::string_view v;
  std::string header = "GET /Host: x HTTP/1.1\r\nX-Forwarded-Host: evil\r\nHost: good:81\r\n\r\n";
  ASSERT_TRUE(FindHeader(header, "Host: ", &v));
  EXPECT_EQ(v, "good:81");
  EXPECT_FALSE(FindHeader("GET / HTTP/1.1\r\nhost: h\r\n\r\n", "Host: ", &v));
  EXPECT_FALSE(FindHeader("Host: h\r\n\r\n", "Host: ", &v)) << "the request line is no header";
  ASSERT_TRUE(FindHeader("GET / HTTP/1.1\r\nHost: h", "Host: ", &v));
  EXPECT_EQ(v, "h") << "a value without line end runs to the end";
}

TEST(HttpMessagesTest, DestinationFromHostHeaderOrConnectLine) {
  using S = HttpDestination::Scheme;
  struct Case {
    std::string request;
    bool ok;
    S scheme;
    std::string host;
    uint16_t port;
  } cases[] = {
      {"GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n", true, S::kHttp, "h", 80},
      {"GET http://h:8080/ HTTP/1.1\r\nHost: h:8080\r\n\r\n", true, S::kHttp, "h", 8080},
      {"get ftp://f/ HTTP/1.1\r\nHost: f\r\n\r\n", true, S::kFtp, "f", 21},
      {"GET ftp://f:2121/ HTTP/1.1\r\nHost: f:2121\r\n\r\n", true, S::kFtp, "f", 2121},
      {"POST ftp://f/ HTTP/1.1\r\nHost: f\r\n\r\n", true, S::kHttp, "f", 80},
      {"CONNECT h:443 HTTP/1.1\r\n\r\n", true, S::kConnect, "h", 443},
      {"CONNECT h HTTP/1.1\r\n\r\n", true, S::kConnect, "h", 443},
      {"CONNECT 10.0.0.1:8443 HTTP/1.1\r\nHost: other:1\r\n\r\n", true, S::kConnect, "10.0.0.1",
       8443},
      {"GET / HTTP/1.1\r\nHost: 1.2.3.4:65535\r\n\r\n", true, S::kHttp, "1.2.3.4", 65535},
      {"GET / HTTP/1.1\r\n\r\n", false, S::kHttp, "", 0},
      {"GET / HTTP/1.1\r\nHost: \r\n\r\n", false, S::kHttp, "", 0},
      {"GET / HTTP/1.1\r\nHost: h:\r\n\r\n", false, S::kHttp, "", 0},
      {"GET / HTTP/1.1\r\nHost: h:0\r\n\r\n", false, S::kHttp, "", 0},
      {"GET / HTTP/1.1\r\nHost: h:65536\r\n\r\n", false, S::kHttp, "", 0},
      {"GET / HTTP/1.1\r\nHost: h:-1\r\n\r\n", false, S::kHttp, "", 0},
      {"GET / HTTP/1.1\r\nHost: h:80:81\r\n\r\n", false, S::kHttp, "", 0},
      {"GET / HTTP/1.1\r\nHost: a/b\r\n\r\n", false, S::kHttp, "", 0},
      {"GET / HTTP/1.1\r\nHost: [::1]:80\r\n\r\n", false, S::kHttp, "", 0},
      {"GET / HTTP/1.1\r\nHost: " + std::string(256, 'a') + "\r\n\r\n", false, S::kHttp, "", 0},
      {"CONNECT :443 HTTP/1.1\r\n\r\n", false, S::kConnect, "", 0},
      {"CONNECT \r\n\r\n", false, S::kConnect, "", 0},
      {"CONNECT ", false, S::kConnect, "", 0},
  };
  for (const Case& c : cases) {
    HttpDestination d;
    ASSERT_EQ(ParseDestination(c.request, &d), c.ok) << c.request;
    if (!c.ok) continue;
    EXPECT_EQ(d.scheme, c.scheme) << c.request;
    EXPECT_EQ(d.host, c.host) << c.request;
    EXPECT_EQ(d.port, c.port) << c.request;
  }
}

TEST(HttpMessagesTest, Base64DecodesStrictly) {
  struct Case {
    const char* in;
    bool ok;
    const char* out;
  } cases[] = {
      {"YWxpY2U6cHcx", true, "alice:pw1"},
      {"YTpi", true, "a:b"},
      {"YQ==", true, "a"},
      {"YWI=", true, "ab"},
      {"YQ", true, "a"},
      {"", true, ""},
      {"Y", false, ""},
      {"YQ===", false, ""},
      {"Y=Q=", false, ""},
      {"!!!!", false, ""},
      {"YW Jj", false, ""},
      {"YQ=", false, ""},
  };
  for (const Case& c : cases) {
    std::string out;
    ASSERT_EQ(Base64Decode(c.in, &out), c.ok) << c.in;
    if (c.ok) EXPECT_EQ(out, c.out) << c.in;
  }
}

TEST(HttpMessagesTest, BasicCredentialsSplitAtTheFirstColon) {
  struct Case {
    std::string header;
    bool ok;
    std::string user, password;
  } cases[] = {
      {"GET / HTTP/1.1\r\nProxy-Authorization: Basic YWxpY2U6cDp3\r\n\r\n", true, "alice", "p:w"},
      {"GET / HTTP/1.1\r\nProxy-Authorization: Basic cHcx \r\n\r\n", true, "", "pw1"},
      {"GET / HTTP/1.1\r\nProxy-Authorization: Basic Ojo=\r\n\r\n", true, "", ":"},
      {"GET / HTTP/1.1\r\nProxy-Authorization: Digest abc\r\n\r\n", false, "", ""},
      {"GET / HTTP/1.1\r\nProxy-Authorization: Basic %%%%\r\n\r\n", false, "", ""},
      {"GET / HTTP/1.1\r\n\r\n", false, "", ""},
  };
  for (const Case& c : cases) {
    std::string user = "x", password = "x";
    ASSERT_EQ(ParseBasicCredentials(c.header, &user, &password), c.ok) << c.header;
    if (!c.ok) continue;
    EXPECT_EQ(user, c.user) << c.header;
    EXPECT_EQ(password, c.password) << c.header;
  }
}

TEST(HttpMessagesTest, RewriteMakesOriginFormAndDropsTheProxyPassword) {
  struct Case {
    const char* what;
    std::string header, host, expected;
  } cases[] = {
      {"origin form and Connection",
       "GET http://h/x HTTP/1.1\r\nHost: h\r\nProxy-Connection: keep-alive\r\n\r\n", "h",
       "GET /x HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n"},
      {"only the first Proxy-Connection",
       "GET / HTTP/1.1\r\nProxy-Connection: a\r\nProxy-Connection: b\r\n\r\n", "h",
       "GET / HTTP/1.1\r\nConnection: a\r\nProxy-Connection: b\r\n\r\n"},
      {"every Proxy-Authorization line goes",
       "GET http://h/ HTTP/1.1\r\nProxy-Authorization: Basic eDp5\r\nA: 1\r\n"
       "Proxy-Authorization: Basic eDp6\r\n\r\n",
       "h", "GET / HTTP/1.1\r\nA: 1\r\n\r\n"},
      {"host named differently", "GET http://H/x HTTP/1.1\r\nHost: h\r\n\r\n", "h",
       "GET http://H/x HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"URL with a port the Host lacks", "GET http://h:81/x HTTP/1.1\r\nHost: h\r\n\r\n", "h",
       "GET http://h:81/x HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"longer host name", "GET http://hx/x HTTP/1.1\r\nHost: h\r\n\r\n", "h",
       "GET http://hx/x HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"URL in the query", "GET /a?u=http://h/x HTTP/1.1\r\nHost: h\r\n\r\n", "h",
       "GET /a?u=http://h/x HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"URL without path", "GET http://h HTTP/1.1\r\nHost: h\r\n\r\n", "h",
       "GET http://h HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"no host", "GET http://h/x HTTP/1.1\r\n\r\n", "", "GET http://h/x HTTP/1.1\r\n\r\n"},
      {"header case is kept", "GET http://h/ HTTP/1.1\r\nproxy-connection: x\r\n\r\n", "h",
       "GET / HTTP/1.1\r\nproxy-connection: x\r\n\r\n"},
  };
  for (const Case& c : cases) {
    std::string out = RewriteRequestHeader(c.header, c.host);
    EXPECT_EQ(out, c.expected) << c.what;
    EXPECT_LE(out.size(), c.header.size()) << c.what;
  }
}

TEST(HttpMessagesTest, FilterMatchesHostAndPathOrTheWholeConnectLine) {
  struct Case {
    const char* line;
    const char* url;
  } texts[] = {
      {"GET http://h/a/b.html HTTP/1.1", "h/a/b.html"},
      {"GET http://h/a/// HTTP/1.1", "h/a"},
      {"GET http://h/ HTTP/1.0", "h"},
      {"CONNECT h:443 HTTP/1.1", "CONNECT h:443 HTTP/1.1"},
      {"GET ftp://f/x HTTP/1.1", "GET ftp://f/x HTTP/1.1"},
      {"http://h/ HTTP/1.1", "http://h/ HTTP/1.1"},  // a URL at the very start is not taken
  };
  for (const Case& c : texts) EXPECT_EQ(FilterUrlText(c.line), c.url) << c.line;

  WebFilter allow{1, 1, " *.example.com* ; ;intranet*;"};
  WebFilter block{2, 2, "*.example.com*;intranet*"};
  WebFilter other{3, 3, "*"};
  WebFilter empty_allow{4, 1, " ; "};
  struct Decision {
    const char* url;
    bool allowed_by_type1;
  } decisions[] = {
      {"www.example.com/a", true},
      {"WWW.EXAMPLE.COM", true},
      {"intranet", true},
      {"intranet.corp/x", true},
      {"example.com", false},
      {"other.org", false},
      {"CONNECT www.example.com:443 HTTP/1.1", true},  // the whole line matches "*.example.com*"
      {"CONNECT example.org:443 HTTP/1.1", false},
  };
  for (const Decision& d : decisions) {
    EXPECT_EQ(WebFilterBlocks(allow, d.url), !d.allowed_by_type1) << d.url;
    EXPECT_EQ(WebFilterBlocks(block, d.url), d.allowed_by_type1) << d.url;
    EXPECT_FALSE(WebFilterBlocks(other, d.url)) << "an unknown type never blocks";
    EXPECT_FALSE(WebFilterBlocks(empty_allow, d.url)) << "an allow-list without patterns";
  }
  WebFilter connect_allow{5, 1, "CONNECT *.example.com:443 HTTP/1.?"};
  EXPECT_FALSE(
      WebFilterBlocks(connect_allow, FilterUrlText("CONNECT www.example.com:443 HTTP/1.1")));
  EXPECT_TRUE(
      WebFilterBlocks(connect_allow, FilterUrlText("CONNECT www.example.com:8443 HTTP/1.1")));
}

TEST(HttpMessagesTest, RepliesAreExact) {
  EXPECT_EQ(ProxyAuthRequiredReply(),
            "HTTP/1.0 407 Proxy authorization required\r\n"
            "Proxy-agent: TarnwickProxyServer\r\n"
            "Proxy-Authenticate: Basic realm=\"TarnwickProxyServer Authorization\"\r\n"
            "Cache-Control: no-cache\r\n\r\n"
            "Username/password error \r\n"
            "powered by Tarnwick Proxy Server (http://127.0.0.1:8808/about)\r\n");
  EXPECT_EQ(kConnectEstablished,
            "HTTP/1.0 200 Connection established\r\nProxy-agent: TarnwickHttpProxy/1.1\r\n\r\n");
}

}  // namespace
}  // namespace tw
