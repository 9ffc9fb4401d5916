// The HTTP proxy's request parsing and rewriting, the web-filter decision and the reply texts,
// without sockets.
#include "engine/http/http_messages.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/base64.h"

namespace tw {
namespace {

TEST(HttpMessagesTest, HeaderNamesMatchInAnyCaseAtALineStart) {
  struct Case {
    std::string header;
    bool found;
    std::string value;
  } cases[] = {
      {"GET /Host: x HTTP/1.1\r\nX-Forwarded-Host: evil\r\nHost: good:81\r\n\r\n", true, "good:81"},
      {"GET / HTTP/1.1\r\nhost: h\r\n\r\n", true, "h"},
      {"GET / HTTP/1.1\r\nHOST:h\r\n\r\n", true, "h"},
      {"GET / HTTP/1.1\r\nHost: \t h \r\n\r\n", true, "h"},
      {"GET / HTTP/1.1\r\nHost : h\r\n\r\n", true, "h"},
      {"GET / HTTP/1.1\r\nHost: h", true, "h"},  // a value without line end runs to the end
      {"GET / HTTP/1.1\r\nHostname: h\r\nHost-X: h\r\n\r\n", false, ""},
      {"Host: h\r\n\r\n", false, ""},  // the request line is no header
  };
  for (const Case& c : cases) {
    std::string_view v;
    ASSERT_EQ(FindHeader(c.header, "Host", &v), c.found) << c.header;
    if (c.found) {
      EXPECT_EQ(v, c.value) << c.header;
    }
  }
}

TEST(HttpMessagesTest, DestinationFromTheTargetThenTheHostHeader) {
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
      {"GET / HTTP/1.1\r\nhost:h:81\r\n\r\n", true, S::kHttp, "h", 81},
      {"GET http://a/ HTTP/1.1\r\nHost: b\r\n\r\n", true, S::kHttp, "a", 80},
      {"GET http://u:p@a:81/x HTTP/1.1\r\n\r\n", true, S::kHttp, "a", 81},
      {"GET http://a?@b/ HTTP/1.1\r\n\r\n", true, S::kHttp, "a", 80},
      {"GET ftp://u:p@f/ HTTP/1.1\r\nHost: g\r\n\r\n", true, S::kFtp, "f", 21},
      {"GET http:///x HTTP/1.1\r\nHost: h\r\n\r\n", false, S::kHttp, "", 0},
      {"GET http://a%2fb/ HTTP/1.1\r\nHost: h\r\n\r\n", false, S::kHttp, "", 0},
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
    if (c.ok) {
      EXPECT_EQ(out, c.out) << c.in;
    }
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
      {"GET / HTTP/1.1\r\nproxy-authorization: basic YWxpY2U6cDp3\r\n\r\n", true, "alice", "p:w"},
      {"GET / HTTP/1.1\r\nPROXY-AUTHORIZATION:Basic\tYWxpY2U6cDp3\r\n\r\n", true, "alice", "p:w"},
      {"GET / HTTP/1.1\r\nProxy-Authorization: Basic %%%%\r\n\r\n", false, "", ""},
      {"GET / HTTP/1.1\r\nProxy-Authorization: BasicYWxpY2U6cDp3\r\n\r\n", false, "", ""},
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
    std::string header, expected;
  } cases[] = {
      {"origin form and Connection",
       "GET http://h/x HTTP/1.1\r\nHost: h\r\nProxy-Connection: keep-alive\r\n\r\n",
       "GET /x HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n"},
      {"only the first Proxy-Connection",
       "GET / HTTP/1.1\r\nHost: h\r\nproxy-connection: a\r\nProxy-Connection: b\r\n\r\n",
       "GET / HTTP/1.1\r\nHost: h\r\nConnection: a\r\nProxy-Connection: b\r\n\r\n"},
      {"Proxy-Connection without blank", "GET http://h/ HTTP/1.1\r\nPROXY-CONNECTION:x\r\n\r\n",
       "GET / HTTP/1.1\r\nHost: h\r\nConnection:x\r\n\r\n"},
      {"every Proxy-Authorization line goes, in any spelling",
       "GET http://h/ HTTP/1.1\r\nHost: h\r\nProxy-Authorization: Basic eDp5\r\nA: 1\r\n"
       "proxy-authorization: Basic eDp6\r\nPROXY-AUTHORIZATION:Basic eDp6\r\n"
       "Proxy-Authorization :  Basic eDp6\r\nProxy-authorization:\tBasic eDp6\r\n\r\n",
       "GET / HTTP/1.1\r\nHost: h\r\nA: 1\r\n\r\n"},
      {"a folded Proxy-Authorization goes whole",
       "GET http://h/ HTTP/1.1\r\nHost: h\r\nProxy-Authorization: Basic\r\n eDp5\r\nA: 1\r\n\r\n",
       "GET / HTTP/1.1\r\nHost: h\r\nA: 1\r\n\r\n"},
      {"look-alike names stay",
       "GET http://h/ HTTP/1.1\r\nHost: h\r\nProxy-Authorization-X: 1\r\nX-Host: b\r\n\r\n",
       "GET / HTTP/1.1\r\nHost: h\r\nProxy-Authorization-X: 1\r\nX-Host: b\r\n\r\n"},
      {"host named in another letter case", "GET http://H/x HTTP/1.1\r\nhost:  h\r\n\r\n",
       "GET http://H/x HTTP/1.1\r\nhost:  h\r\n\r\n"},
      {"Host naming another host is replaced",
       "GET http://a/x HTTP/1.1\r\nA: 1\r\nHost: b\r\nB: 2\r\n\r\n",
       "GET /x HTTP/1.1\r\nA: 1\r\nHost: a\r\nB: 2\r\n\r\n"},
      {"Host with another port is replaced", "GET http://h:81/x HTTP/1.1\r\nHost: h\r\n\r\n",
       "GET /x HTTP/1.1\r\nHost: h:81\r\n\r\n"},
      {"default port written out", "GET http://h/x HTTP/1.1\r\nHost: h:80\r\n\r\n",
       "GET http://h/x HTTP/1.1\r\nHost: h:80\r\n\r\n"},
      {"longer host name", "GET http://hx/x HTTP/1.1\r\nhost:h\r\n\r\n",
       "GET /x HTTP/1.1\r\nHost: hx\r\n\r\n"},
      {"a second Host line goes", "GET http://h/x HTTP/1.1\r\nHost: h\r\nHOST: b\r\n\r\n",
       "GET /x HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"missing Host is added", "GET http://u:p@h:81/x HTTP/1.1\r\nA: 1\r\n\r\n",
       "GET http://u:p@h:81/x HTTP/1.1\r\nHost: h:81\r\nA: 1\r\n\r\n"},
      {"URL in the query", "GET /a?u=http://h/x HTTP/1.1\r\nHost: h\r\n\r\n",
       "GET /a?u=http://h/x HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"URL without path", "GET http://h HTTP/1.1\r\nHost: h\r\n\r\n",
       "GET http://h HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"other scheme keeps its target", "POST ftp://f/x HTTP/1.1\r\nHost: g\r\n\r\n",
       "POST ftp://f/x HTTP/1.1\r\nHost: f\r\n\r\n"},
  };
  for (const Case& c : cases) {
    HttpDestination dest;
    ASSERT_TRUE(ParseDestination(c.header, &dest)) << c.what;
    EXPECT_EQ(RewriteRequestHeader(c.header, dest), c.expected) << c.what;
    std::string_view v;
    EXPECT_FALSE(FindHeader(RewriteRequestHeader(c.header, dest), "Proxy-Authorization", &v))
        << c.what;
  }
}

TEST(HttpMessagesTest, FilterSeesTheHostTheRequestGoesTo) {
  struct Case {
    std::string header;
    const char* url;
  } texts[] = {
      {"GET http://h/a/b.html HTTP/1.1\r\nHost: h\r\n\r\n", "h/a/b.html"},
      {"GET http://h/a/// HTTP/1.1\r\nHost: h\r\n\r\n", "h/a"},
      {"GET http://h/ HTTP/1.0\r\n\r\n", "h"},
      {"GET http://h:81/?q HTTP/1.1\r\nHost: h\r\n\r\n", "h:81/?q"},
      {"GET http://allowed/ HTTP/1.1\r\nHost: blocked\r\n\r\n", "allowed"},
      {"GET http://allowed@blocked/x HTTP/1.1\r\n\r\n", "blocked/x"},
      {"GET /x/ HTTP/1.1\r\nHost: h:81\r\n\r\n", "h:81/x"},
      {"GET /r?to=http://allowed/ HTTP/1.1\r\nHost: blocked\r\n\r\n",
       "blocked/r?to=http://allowed"},
      {"CONNECT h:443 HTTP/1.1\r\n\r\n", "CONNECT h:443 HTTP/1.1"},
      {"CONNECT h:443 HTTP/1.1\r\nHost: other:443\r\n\r\n", "CONNECT h:443 HTTP/1.1"},
      {"GET ftp://f/x HTTP/1.1\r\nHost: f\r\n\r\n", "GET ftp://f/x HTTP/1.1"},
      {"GET ftp://allowed:pw@f HTTP/1.1\r\n\r\n", "GET ftp://f HTTP/1.1"},
  };
  for (const Case& c : texts) {
    HttpDestination dest;
    ASSERT_TRUE(ParseDestination(c.header, &dest)) << c.header;
    EXPECT_EQ(FilterUrlText(RequestLine(c.header), dest), c.url) << c.header;
  }

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
  // A CONNECT is judged by its own target, whatever Host line it carries or lacks.
  WebFilter connect_allow{5, 1, "CONNECT *.example.com:443 HTTP/1.?"};
  for (const char* request :
       {"CONNECT www.example.com:8443 HTTP/1.1\r\n\r\n",
        "CONNECT www.example.com:8443 HTTP/1.1\r\nHost: www.example.com:443\r\n\r\n"}) {
    HttpDestination dest;
    ASSERT_TRUE(ParseDestination(request, &dest));
    EXPECT_TRUE(WebFilterBlocks(connect_allow, FilterUrlText(RequestLine(request), dest)))
        << request;
  }
  HttpDestination dest;
  std::string_view allowed = "CONNECT www.example.com:443 HTTP/1.1\r\n\r\n";
  ASSERT_TRUE(ParseDestination(allowed, &dest));
  EXPECT_FALSE(WebFilterBlocks(connect_allow, FilterUrlText(RequestLine(allowed), dest)));
}

TEST(HttpMessagesTest, LoggedRequestLineLeavesOutThePassword) {
  struct Case {
    const char* line;
    const char* logged;
  } cases[] = {
      {"GET ftp://bob:secret@h/a HTTP/1.1", "GET ftp://bob@h/a HTTP/1.1"},
      {"GET ftp://a%40b:p:w@h:2121 HTTP/1.1", "GET ftp://a%40b@h:2121 HTTP/1.1"},
      {"GET ftp://a@b:c@h/ HTTP/1.1", "GET ftp://a@b@h/ HTTP/1.1"},
      {"GET http://u:p@h/ HTTP/1.1", "GET http://u@h/ HTTP/1.1"},
      {"GET ftp://carol@h/ HTTP/1.1", "GET ftp://carol@h/ HTTP/1.1"},
      {"GET ftp://h/a:b@c HTTP/1.1", "GET ftp://h/a:b@c HTTP/1.1"},
      {"GET http://h/ HTTP/1.1", "GET http://h/ HTTP/1.1"},
      {"CONNECT h:443 HTTP/1.1", "CONNECT h:443 HTTP/1.1"},
  };
  for (const Case& c : cases) EXPECT_EQ(LoggedRequestLine(c.line), c.logged) << c.line;
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
