// The HTTP proxy as browsers see it: curl through it for plain requests, tunnels and logins,
// and raw sockets for the exact bytes the web server receives, the exact replies of the proxy,
// keep-alive, filters and malformed requests.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/http/http_request_head.h"
#include "http_fixture.h"

namespace tw::test {
namespace {

std::string Basic(const std::string& user_password) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  const std::string& s = user_password;
  for (; i + 2 < s.size(); i += 3) {
    uint32_t v = (uint8_t(s[i]) << 16) | (uint8_t(s[i + 1]) << 8) | uint8_t(s[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += kAlphabet[(v >> k) & 63];
  }
  if (i + 1 == s.size()) {
    uint32_t v = uint8_t(s[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == s.size()) {
    uint32_t v = (uint8_t(s[i]) << 16) | (uint8_t(s[i + 1]) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += "=";
  }
  return out;
}

const std::string k407 =
    "HTTP/1.0 407 Proxy authorization required\r\n"
    "Proxy-agent: TarnwickProxyServer\r\n"
    "Proxy-Authenticate: Basic realm=\"TarnwickProxyServer Authorization\"\r\n"
    "Cache-Control: no-cache\r\n"
    "\r\n"
    "Username/password error \r\n"
    "powered by Tarnwick Proxy Server (http://127.0.0.1:8808/about)\r\n";

const std::string kEstablished =
    "HTTP/1.0 200 Connection established\r\nProxy-agent: TarnwickHttpProxy/1.1\r\n\r\n";

class HttpProxyTest : public HttpFixture {
 protected:
  // Sends a request on a new connection and returns everything until the proxy closes it.
  std::string Refused(const std::string& request) {
    int fd = Connect();
    EXPECT_TRUE(SendAll(fd, request));
    std::string reply = ReadUntilClose(fd);
    close(fd);
    return reply;
  }
};

TEST_F(HttpProxyTest, CurlGetsThePageAndTheServerSeesTheOriginForm) {
  StartProxy();
  RecordingOrigin origin;
  int status = 0;
  std::string body = Curl("http://" + origin.Host() + "/x", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(body, "reply 1\n");
  std::string seen = origin.Received(0);
  EXPECT_EQ(seen.rfind("GET /x HTTP/1.1\r\nHost: " + origin.Host() + "\r\n", 0), 0u) << seen;
  EXPECT_NE(seen.find("\r\nConnection: Keep-Alive\r\n"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("Proxy-"), std::string::npos) << seen;
  EXPECT_EQ(Logged(),
            std::vector<std::string>{"GET http://" + origin.Host() + "/x HTTP/1.1:127.0.0.1"});
}

// Request in, bytes at the web server out, for the rewrite rules.
TEST_F(HttpProxyTest, ServerReceivesTheRewrittenRequestByteForByte) {
  StartProxy();
  RecordingOrigin origin;
  const std::string h = origin.Host();
  const std::string lh = "localhost:" + std::to_string(origin.port());
  struct Case {
    const char* what;
    std::string request, expected;
  } cases[] = {
      {"absolute URL and Proxy-Connection",
       "GET http://" + h + "/x HTTP/1.1\r\nHost: " + h +
           "\r\nProxy-Connection: keep-alive\r\nAccept: */*\r\n\r\n",
       "GET /x HTTP/1.1\r\nHost: " + h + "\r\nConnection: keep-alive\r\nAccept: */*\r\n\r\n"},
      {"URL host in another letter case stays absolute",
       "GET http://LOCALHOST:" + std::to_string(origin.port()) + "/y HTTP/1.1\r\nHost: " + lh +
           "\r\n\r\n",
       "GET http://LOCALHOST:" + std::to_string(origin.port()) + "/y HTTP/1.1\r\nHost: " + lh +
           "\r\n\r\n"},
      {"a URL in the query is untouched",
       "GET http://" + h + "/r?to=http://" + h + "/q HTTP/1.1\r\nHost: " + h + "\r\n\r\n",
       "GET /r?to=http://" + h + "/q HTTP/1.1\r\nHost: " + h + "\r\n\r\n"},
      {"proxy password is not passed on; body in the same read goes on",
       "POST http://" + h + "/p HTTP/1.1\r\nHost: " + h +
           "\r\nProxy-Authorization: Basic Ym9iOnNlY3JldA==\r\nContent-Length: 4\r\n\r\nbody",
       "POST /p HTTP/1.1\r\nHost: " + h + "\r\nContent-Length: 4\r\n\r\nbody"},
      {"a Host naming another server is replaced by the URL's; the URL's server is reached",
       "GET http://" + h + "/o HTTP/1.1\r\nhost:127.0.0.2:1\r\n\r\n",
       "GET /o HTTP/1.1\r\nHost: " + h + "\r\n\r\n"},
      {"a request without Host gets the URL's",
       "GET http://" + h + "/m HTTP/1.1\r\nAccept: */*\r\n\r\n",
       "GET /m HTTP/1.1\r\nHost: " + h + "\r\nAccept: */*\r\n\r\n"},
  };
  size_t connection = 0;
  for (const Case& c : cases) {
    int fd = Connect();
    ASSERT_TRUE(SendAll(fd, c.request));
    EXPECT_NE(ReadResponse(fd).find("reply"), std::string::npos) << c.what;
    EXPECT_EQ(origin.Received(connection), c.expected) << c.what;
    ++connection;
    close(fd);
  }
  EXPECT_EQ(origin.Connections(), connection);
}

TEST_F(HttpProxyTest, ConnectRepliesExactlyAndThenTunnelsOpaqueBytes) {
  StartProxy();
  TestServer echo(TestServer::kEcho);
  int fd = Connect();
  std::string target = "127.0.0.1:" + std::to_string(echo.port());
  ASSERT_TRUE(SendAll(fd, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n"));
  EXPECT_EQ(ReadExactly(fd, kEstablished.size()), kEstablished);
  // Tunnelled bytes that look like requests are not requests.
  for (std::string payload :
       {std::string("GET http://x/ HTTP/1.1\r\nHost: x\r\n\r\n"),
        std::string("CONNECT a:1 HTTP/1.1\r\n\r\n"), std::string("\x16\x03\x01 tls")}) {
    ASSERT_TRUE(SendAll(fd, payload));
    EXPECT_EQ(ReadExactly(fd, payload.size()), payload);
  }
  close(fd);
  EXPECT_EQ(Logged(), std::vector<std::string>{"CONNECT " + target + " HTTP/1.1:127.0.0.1"});
}

TEST_F(HttpProxyTest, ConnectBytesSentWithTheRequestGoThrough) {
  StartProxy();
  TestServer echo(TestServer::kEcho);
  int fd = Connect();
  std::string target = "127.0.0.1:" + std::to_string(echo.port());
  ASSERT_TRUE(SendAll(fd, "CONNECT " + target + " HTTP/1.1\r\n\r\nearly"));
  EXPECT_EQ(ReadExactly(fd, kEstablished.size() + 5), kEstablished + "early");
  close(fd);
  EXPECT_EQ(Logged(), std::vector<std::string>{"CONNECT " + target + " HTTP/1.1:127.0.0.1"})
      << "a CONNECT without Host is logged by its target";
}

TEST_F(HttpProxyTest, CurlTunnelsThroughConnectWithLogin) {
  AddUser("alice", "pw1");
  StartProxy(1);
  RecordingOrigin origin;
  int status = 0;
  std::string body = Curl("-p --proxy-user alice:pw1 http://" + origin.Host() + "/t", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(body, "reply 1\n");
  std::string seen = origin.Received(0);
  EXPECT_EQ(seen.rfind("GET /t HTTP/1.1\r\n", 0), 0u) << seen;
  ASSERT_EQ(Logged().size(), 1u);
  EXPECT_EQ(Logged()[0], "CONNECT " + origin.Host() + " HTTP/1.1:127.0.0.1,alice");
}

TEST_F(HttpProxyTest, LoginDecidesBetweenPageAnd407) {
  AddUser("alice", "pw1");
  AddUser("eve", "pw2", [](AccountRules* r) {
    r->ip = 1;
    r->iprange = "10.0.0.1";
  });
  AddUser("night", "pw3", [](AccountRules* r) {
    r->schedule = 1;
    r->scheduleid = 7;
  });
  ScheduleRecord never;
  never.id = 7;
  never.server1 = 1;
  for (std::string* day : {&never.sunday, &never.monday, &never.tuesday, &never.wednesday,
                           &never.thursday, &never.friday, &never.saturday}) {
    *day = "25:00-26:00";
  }
  schedules_ = ScheduleList({never});
  StartProxy(1);
  RecordingOrigin origin;
  std::string get = "GET http://" + origin.Host() + "/ HTTP/1.1\r\nHost: " + origin.Host() + "\r\n";
  std::string page = "HTTP/1.0 200 OK\r\n\r\n";
  struct Case {
    const char* what;
    std::string credentials;
    std::string reply;
  } cases[] = {
      {"no credentials", "", k407},
      {"wrong password", "Proxy-Authorization: Basic " + Basic("alice:nope") + "\r\n", k407},
      {"unknown user", "Proxy-Authorization: Basic " + Basic("zed:pw1") + "\r\n", k407},
      {"Base64 that does not decode", "Proxy-Authorization: Basic !!!!\r\n", k407},
      {"address rule refuses", "Proxy-Authorization: Basic " + Basic("eve:pw2") + "\r\n",
       page + ReadFile("ipblock.html")},
      {"schedule refuses", "Proxy-Authorization: Basic " + Basic("night:pw3") + "\r\n",
       page + ReadFile("schedule.html")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Refused(get + c.credentials + "\r\n"), c.reply) << c.what;
  }
  EXPECT_EQ(origin.Connections(), 0u);
  EXPECT_TRUE(Logged().empty());
  int status = 0;
  EXPECT_EQ(Curl("--proxy-user alice:pw1 http://" + origin.Host() + "/in", &status), "reply 1\n");
  EXPECT_EQ(origin.Received(0).find("Proxy-Authorization"), std::string::npos);
  EXPECT_EQ(Logged(), std::vector<std::string>{"GET http://" + origin.Host() +
                                               "/in HTTP/1.1:127.0.0.1,alice"});
  // Only logins that reached the account check are counted; a right login outside its
  // account's rules is a refusal, not a failed login.
  CounterFigures counted = proxy_->counters().Snapshot();
  EXPECT_EQ(counted.loginsOk, 1u);
  EXPECT_EQ(counted.loginsFailed, 2u);
  EXPECT_EQ(counted.refused[static_cast<size_t>(Refusal::kAccountRule)], 2u);
}

TEST_F(HttpProxyTest, GuestOutsideTheAddressRuleGetsTheBlockPage) {
  StartProxy(0, "10.0.0.1-10.0.0.9");
  RecordingOrigin origin;
  EXPECT_EQ(
      Refused("GET http://" + origin.Host() + "/ HTTP/1.1\r\nHost: " + origin.Host() + "\r\n\r\n"),
      "HTTP/1.0 200 OK\r\n\r\n" + ReadFile("ipblock.html"));
  EXPECT_EQ(origin.Connections(), 0u);
}

TEST_F(HttpProxyTest, WebFiltersAllowAndBlockAsTheirTypeSays) {
  filters_ = WebFilterList({{1, 1, "localhost:*; intranet*"},
                            {2, 2, "localhost:*;intranet*"},
                            {3, 1, "CONNECT 127.0.0.1:*"},
                            {101, 1, "nothing.matches"}});
  for (int id : {1, 2, 3, 101}) {
    AddUser("u" + std::to_string(id), "pw", [id](AccountRules* r) {
      r->filter = 1;
      r->filterid = id;
    });
  }
  AddUser("u0", "pw", [](AccountRules* r) {
    r->filter = 1;
    r->filterid = 0;
  });
  StartProxy(1);
  RecordingOrigin origin;
  TestServer echo(TestServer::kEcho);
  std::string blocked = "HTTP/1.0 200 OK\r\n\r\n" + ReadFile("webfilter.html");
  const std::string port = std::to_string(origin.port());
  struct Case {
    int user;
    std::string url;   // "" = a CONNECT request
    std::string host;  // the Host line's value
    bool allowed;
  } cases[] = {
      {1, "http://localhost:" + port + "/a/", "localhost:" + port, true},
      {1, "http://other.test/b", "other.test", false},  // blocked before any name lookup
      {1, "http://" + origin.Host() + "/", origin.Host(), false},
      // The server filtered is the server reached, whatever the Host line names.
      {1, "http://localhost:" + port + "/h", "127.0.0.2:1", true},
      {2, "http://localhost:" + port + "/a/", "localhost:" + port, false},
      {2, "http://intranet", "intranet", false},
      {2, "http://" + origin.Host() + "/", origin.Host(), true},
      {1, "", "", false},
      {3, "", "", true},
      {3, "http://" + origin.Host() + "/", origin.Host(), false},
      {0, "http://" + origin.Host() + "/", origin.Host(), true},
      // Found by record id: a filter numbered above 100 applies like any other.
      {101, "http://" + origin.Host() + "/", origin.Host(), false},
  };
  std::string target = "127.0.0.1:" + std::to_string(echo.port());
  for (const Case& c : cases) {
    std::string login =
        "Proxy-Authorization: Basic " + Basic("u" + std::to_string(c.user) + ":pw") + "\r\n";
    std::string request =
        c.url.empty()
            ? "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n" + login + "\r\n"
            : "GET " + c.url + " HTTP/1.1\r\nHost: " + c.host + "\r\n" + login + "\r\n";
    int fd = Connect();
    ASSERT_TRUE(SendAll(fd, request));
    std::string what = "user u" + std::to_string(c.user) + " " +
                       (c.url.empty() ? "CONNECT" : c.url + " Host " + c.host);
    if (!c.allowed) {
      EXPECT_EQ(ReadUntilClose(fd), blocked) << what;
    } else if (c.url.empty()) {
      EXPECT_EQ(ReadExactly(fd, kEstablished.size()), kEstablished) << what;
    } else {
      EXPECT_NE(ReadResponse(fd).find("reply"), std::string::npos) << what;
    }
    close(fd);
  }
}

// Clients whose library writes header names in lower case log in the same, and their proxy
// password still stays with the proxy.
TEST_F(HttpProxyTest, LowerCaseProxyLoginWorksAndNeverReachesTheServer) {
  AddUser("ann,lee", "pw1");
  StartProxy(1);
  RecordingOrigin origin;
  const std::string login = Basic("ann,lee:pw1");
  int status = 0;
  EXPECT_EQ(
      Curl("-H 'proxy-authorization: Basic " + login + "' http://" + origin.Host() + "/a", &status),
      "reply 1\n");
  EXPECT_EQ(status, 0);
  std::string seen = origin.Received(0);
  EXPECT_EQ(seen.rfind("GET /a HTTP/1.1\r\nHost: " + origin.Host() + "\r\n", 0), 0u) << seen;
  EXPECT_EQ(seen.find(login), std::string::npos) << seen;
  std::vector<ActivityText> logged = LoggedParts();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].description, "GET http://" + origin.Host() + "/a HTTP/1.1");
  EXPECT_EQ(logged[0].address, "127.0.0.1");
  EXPECT_EQ(logged[0].user, "ann,lee");
}

// curl's --proxy-header 'Host:' leaves the Host line out of its CONNECT.
TEST_F(HttpProxyTest, ConnectWithoutHostLineIsFilteredByItsTarget) {
  filters_ = WebFilterList({{2, 2, "CONNECT 127.0.0.1:*"}});
  AddUser("kept", "pw", [](AccountRules* r) {
    r->filter = 1;
    r->filterid = 2;
  });
  AddUser("free", "pw");
  StartProxy(1);
  RecordingOrigin origin;
  const std::string args = " -p --proxy-header 'Host:' http://" + origin.Host() + "/t";
  int status = 0;
  EXPECT_EQ(Curl("--proxy-user kept:pw" + args, &status), "");
  EXPECT_NE(status, 0);
  EXPECT_EQ(origin.Connections(), 0u);
  EXPECT_TRUE(Logged().empty());
  EXPECT_EQ(Curl("--proxy-user free:pw" + args, &status), "reply 1\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Logged(),
            std::vector<std::string>{"CONNECT " + origin.Host() + " HTTP/1.1:127.0.0.1,free"});
}

TEST_F(HttpProxyTest, SecondRequestToTheSameServerGoesOnItsKeptConnection) {
  StartProxy();
  RecordingOrigin origin;
  int fd = Connect();
  std::string get = " HTTP/1.1\r\nHost: " + origin.Host() + "\r\n\r\n";
  ASSERT_TRUE(SendAll(fd, "GET http://" + origin.Host() + "/one" + get));
  EXPECT_NE(ReadResponse(fd).find("reply 1"), std::string::npos);
  ASSERT_TRUE(SendAll(fd, "GET http://" + origin.Host() + "/two" + get));
  EXPECT_NE(ReadResponse(fd).find("reply 2"), std::string::npos);
  close(fd);
  ASSERT_EQ(origin.Connections(), 1u);
  EXPECT_EQ(origin.Received(0), "GET /one" + get + "GET /two" + get);
  EXPECT_TRUE(WaitUntil([&] { return origin.Ended(0); }))
      << "the kept server connection ends with the client's";
  EXPECT_EQ(Logged().size(), 2u);
  // curl reuses its connection to the proxy for two URLs in one run.
  int status = 0;
  EXPECT_EQ(Curl("http://" + origin.Host() + "/a http://" + origin.Host() + "/b", &status),
            "reply 3\nreply 4\n");
}

// The proxy's own address is refused like any destination it may not reach, with the reason.
TEST_F(HttpProxyTest, RequestForTheProxyItselfGets403) {
  StartProxy();
  std::string own = "127.0.0.1:" + std::to_string(proxy_->port());
  std::string reply = Refused("GET http://" + own + "/ HTTP/1.1\r\nHost: " + own + "\r\n\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.0 403 Forbidden\r\n", 0), 0u) << reply;
  EXPECT_NE(reply.find("Destination not allowed."), std::string::npos) << reply;
  EXPECT_EQ(Logged(), std::vector<std::string>{"Refused destination " + own + ":127.0.0.1"});
}

// A head that fills the buffer without its end is answered, never met with a bare close.
TEST_F(HttpProxyTest, HeadOverTheBufferGets431) {
  StartProxy();
  RecordingOrigin origin;
  std::string head = "GET http://" + origin.Host() + "/ HTTP/1.1\r\nX: ";
  head += std::string(kIoBufferSize - head.size(), 'x');  // exactly one buffer, all read
  std::string reply = Refused(head);
  EXPECT_EQ(reply.rfind("HTTP/1.0 431 Request Header Fields Too Large\r\n", 0), 0u) << reply;
  EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos) << reply;
  EXPECT_EQ(origin.Connections(), 0u);
}

// By default no loopback destination is reached, however it is asked for (plain request,
// CONNECT, ftp:// URL): each gets a 403 before any connect, and one activity line naming it.
// With local destinations allowed, the proxy's own port is refused still, on any loopback
// address and by a name that only resolves to it.
TEST_F(HttpProxyTest, LocalAndOwnDestinationsAreRefusedWith403) {
  RecordingOrigin origin;
  for (bool allowLocal : {false, true}) {
    allow_local_destinations_ = allowLocal;
    StartProxy();
    std::string port = std::to_string(allowLocal ? proxy_->port() : origin.port());
    std::string byAddress = (allowLocal ? "127.0.0.2:" : "127.0.0.1:") + port;
    std::string byName = "localhost:" + port;
    std::vector<std::string> replies = {
        Curl("-i http://" + byAddress + "/"),
        Refused("CONNECT " + byName + " HTTP/1.1\r\nHost: " + byName + "\r\n\r\n"),
        Refused("GET ftp://" + byName + "/ HTTP/1.1\r\nHost: " + byName + "\r\n\r\n"),
    };
    for (const std::string& reply : replies) {
      EXPECT_EQ(reply.rfind("HTTP/1.0 403 Forbidden\r\n", 0), 0u) << allowLocal << " " << reply;
      EXPECT_NE(reply.find("Destination not allowed."), std::string::npos) << reply;
    }
    std::vector<std::string> refusals;
    for (const std::string& line : Logged()) {
      if (line.rfind("Refused destination ", 0) == 0) refusals.push_back(line);
    }
    std::string byNameLine = "Refused destination 127.0.0.1:" + port + ":127.0.0.1";
    std::vector<std::string> expected = {"Refused destination " + byAddress + ":127.0.0.1",
                                         byNameLine, byNameLine};
    EXPECT_EQ(refusals, expected) << "switch " << allowLocal;
    EXPECT_EQ(
        proxy_->counters().Snapshot().refused[static_cast<size_t>(Refusal::kDestinationRefused)],
        3u);
    ASSERT_TRUE(WaitUntil([this] { return proxy_->LiveContexts() == 0; }));
    proxy_->Stop();
    logged_.clear();
  }
  EXPECT_EQ(origin.Connections(), 0u);
}

// A head that names no usable destination is answered 400; one that never ends is closed.
TEST_F(HttpProxyTest, RequestsWithoutAUsableDestinationGet400) {
  StartProxy();
  RecordingOrigin origin;
  std::string h = origin.Host();
  std::vector<std::string> inputs = {
      "GET http://x:0/ HTTP/1.1\r\nHost: " + h + "\r\n\r\n",  // URL port outside 1-65535
      "GET http:/// HTTP/1.1\r\n\r\n",                        // empty host
      "GET http://a!b/ HTTP/1.1\r\n\r\n",                     // absurd host
      "GET http://127.0.0.1:65536/ HTTP/1.1\r\n\r\n",
      "GET http://127.0.0.1:8x/ HTTP/1.1\r\n\r\n",
      "GET http://:80/ HTTP/1.1\r\n\r\n",
      "GET http://" + std::string(300, 'a') + "/ HTTP/1.1\r\n\r\n",
      "CONNECT a!b:443 HTTP/1.1\r\n\r\n",
      "CONNECT 127.0.0.1:0 HTTP/1.1\r\n\r\n",
      "GET http://" + h + "/ HTTP/1.1\r\nHost: " + h,  // head without its end, then close
  };
  for (const std::string& in : inputs) {
    int fd = Connect();
    ASSERT_GE(fd, 0);
    SendAll(fd, in);
    shutdown(fd, SHUT_WR);
    bool unfinished = &in == &inputs.back();
    EXPECT_EQ(ReadUntilClose(fd), unfinished ? "" : std::string(kBadRequestReply))
        << in.substr(0, 60);
    close(fd);
  }
  EXPECT_EQ(origin.Connections(), 0u);
  EXPECT_TRUE(Logged().empty());
}

// Each row is refused at once, without waiting for more bytes or the client's close, and
// nothing of it reaches the web server or the log.
TEST_F(HttpProxyTest, HeadsThatCouldBeFramedTwoWaysGet400AndClose) {
  StartProxy();
  RecordingOrigin origin;
  const std::string h = origin.Host();
  const std::string get = "GET http://" + h + "/ HTTP/1.1\r\n";
  const std::string kBadRequest =
      "HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  struct Case {
    const char* what;
    std::string head;
  } cases[] = {
      {"line without colon", get + "Host " + h + "\r\n\r\n"},
      {"empty name", get + ": x\r\n\r\n"},
      {"blank before the colon", get + "Proxy-Authorization : Basic eDp5\r\n\r\n"},
      {"NUL in the head", get + std::string("X: \0", 4)},
      {"bare CR", get + "X: a\rHost: evil\r\n\r\n"},
      {"obsolete folding", get + "X: a\r\n Host: evil\r\n\r\n"},
      {"Content-Length and Transfer-Encoding",
       "POST http://" + h +
           "/ HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"},
      {"differing Content-Lengths",
       "POST http://" + h + "/ HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n"},
      {"origin form", "GET / HTTP/1.1\r\nHost: " + h + "\r\n"},
      {"asterisk with GET", "GET * HTTP/1.1\r\nHost: " + h + "\r\n\r\n"},
      {"CONNECT to a URL", "CONNECT http://" + h + "/ HTTP/1.1\r\n\r\n"},
      {"CONNECT without port", "CONNECT 127.0.0.1 HTTP/1.1\r\n\r\n"},
      {"HTTP/2.0", "GET http://" + h + "/ HTTP/2.0\r\n\r\n"},
      {"no version", "GET http://" + h + "/\r\n\r\n"},
      {"empty request line", "\r\n\r\n"},
  };
  for (const Case& c : cases) {
    int fd = Connect();
    ASSERT_TRUE(SendAll(fd, c.head));
    EXPECT_EQ(ReadUntilClose(fd), kBadRequest) << c.what;
    close(fd);
  }
  EXPECT_EQ(origin.Connections(), 0u);
  EXPECT_TRUE(Logged().empty());
}

// Three requests in one write: each is logged in, filtered and logged by itself, the second's
// proxy password stays with the proxy, and the answers come back in order (the third is
// blocked by the filter once the second has been answered).
TEST_F(HttpProxyTest, PipelinedRequestsAreEachAuthorizedFilteredAndAnsweredInOrder) {
  filters_ = WebFilterList({{2, 2, "*/blocked"}});
  AddUser("pat", "pw", [](AccountRules* r) {
    r->filter = 1;
    r->filterid = 2;
  });
  StartProxy(1);
  RecordingOrigin origin;
  const std::string h = origin.Host();
  const std::string login = "Proxy-Authorization: Basic " + Basic("pat:pw") + "\r\n";
  std::string requests;
  for (const char* path : {"/one", "/two", "/blocked"}) {
    requests += "GET http://" + h + path + " HTTP/1.1\r\nHost: " + h + "\r\n" + login + "\r\n";
  }
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, requests));
  EXPECT_NE(ReadResponse(fd).find("\r\n\r\nreply 1\n"), std::string::npos);
  EXPECT_NE(ReadResponse(fd).find("\r\n\r\nreply 2\n"), std::string::npos);
  EXPECT_EQ(ReadUntilClose(fd), "HTTP/1.0 200 OK\r\n\r\n" + ReadFile("webfilter.html"));
  close(fd);
  ASSERT_EQ(origin.Connections(), 1u);
  EXPECT_EQ(origin.Received(0), "GET /one HTTP/1.1\r\nHost: " + h +
                                    "\r\n\r\nGET /two HTTP/1.1\r\nHost: " + h + "\r\n\r\n");
  EXPECT_EQ(Logged(),
            (std::vector<std::string>{"GET http://" + h + "/one HTTP/1.1:127.0.0.1,pat",
                                      "GET http://" + h + "/two HTTP/1.1:127.0.0.1,pat"}));
}

// A second request without the proxy login is refused even on a connection that logged in.
TEST_F(HttpProxyTest, EveryRequestOfAConnectionNeedsItsLogin) {
  AddUser("pat", "pw");
  StartProxy(1);
  RecordingOrigin origin;
  const std::string h = origin.Host();
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, "GET http://" + h + "/a HTTP/1.1\r\nProxy-Authorization: Basic " +
                              Basic("pat:pw") + "\r\n\r\nGET http://" + h + "/b HTTP/1.1\r\n\r\n"));
  EXPECT_NE(ReadResponse(fd).find("reply 1"), std::string::npos);
  EXPECT_EQ(ReadUntilClose(fd), k407);
  close(fd);
  EXPECT_EQ(origin.Connections(), 1u);
}

TEST_F(HttpProxyTest, RequestWithBareLineFeedsIsServed) {
  StartProxy();
  RecordingOrigin origin;
  const std::string h = origin.Host();
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, "GET http://" + h + "/lf HTTP/1.1\nHost: " + h + "\nAccept: */*\n\n"));
  EXPECT_NE(ReadResponse(fd).find("reply 1"), std::string::npos);
  close(fd);
  EXPECT_EQ(origin.Received(0), "GET /lf HTTP/1.1\r\nHost: " + h + "\r\nAccept: */*\r\n\r\n");
}

// Bodies that hold what looks like requests, NUL bytes and blank lines go on byte for byte,
// and the request after each body is found and served in turn.
TEST_F(HttpProxyTest, RequestBodiesGoOnExactlyAndTheNextRequestIsFound) {
  StartProxy();
  RecordingOrigin origin;
  const std::string h = origin.Host();
  // "Z" stands for a NUL byte.
  std::string length_body =
      "ab\r\n\r\nGET http://evil/ HTTP/1.1\r\n\r\nZz" + std::string(20000, 'L');
  std::string chunked_body = "5\r\nhello\r\n3;x=1\r\n\r\nZ\r\n2710\r\n" + std::string(10000, 'C') +
                             "\r\n0\r\nT: 1\r\n\r\n";
  for (std::string* body : {&length_body, &chunked_body}) (*body)[body->find('Z')] = '\0';
  std::string post = "POST http://" + h + "/p HTTP/1.1\r\nHost: " + h + "\r\n";
  std::string requests[] = {
      post + "Content-Length: " + std::to_string(length_body.size()) + "\r\n\r\n" + length_body,
      post + "Transfer-Encoding: chunked\r\n\r\n" + chunked_body,
      "GET http://" + h + "/g HTTP/1.1\r\nHost: " + h + "\r\n\r\n",
  };
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, requests[0] + requests[1] + requests[2]));
  for (const char* reply : {"reply 1\n", "reply 2\n", "reply 3\n"}) {
    EXPECT_NE(ReadResponse(fd).find(reply), std::string::npos) << reply;
  }
  close(fd);
  ASSERT_EQ(origin.Connections(), 1u);
  std::string expected;
  for (std::string& request : requests) {
    expected += request.replace(request.find("http://" + h), 7 + h.size(), "");
  }
  EXPECT_EQ(origin.Received(0), expected);
}

// Responses framed every way the proxy knows reach a pipelining client whole and in order:
// chunked with trailers, a HEAD answer that announces a length it does not send, interim 1xx
// answers before the final one, and a 304; all on one server connection.
TEST_F(HttpProxyTest, ResponsesOfEveryFramingComeBackInOrder) {
  const std::vector<std::string> responses = {
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\none!\r\n0\r\nX: t\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n",
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nthree",
      "HTTP/1.1 304 Not Modified\r\nContent-Length: 7\r\n\r\n",
  };
  StartProxy();
  RecordingOrigin origin(
      [&](const std::string&, int n) { return responses[static_cast<size_t>(n - 1)]; });
  const std::string h = origin.Host();
  std::string requests;
  for (const char* method : {"GET", "HEAD", "GET", "GET"}) {
    requests += std::string(method) + " http://" + h + "/ HTTP/1.1\r\nHost: " + h + "\r\n\r\n";
  }
  int fd = Connect();
  ASSERT_TRUE(SendAll(fd, requests));
  std::string expected;
  for (const std::string& r : responses) expected += r;
  EXPECT_EQ(ReadExactly(fd, expected.size()), expected);
  close(fd);
  EXPECT_EQ(origin.Connections(), 1u) << "every one of these responses leaves its connection fit";
}

// The client's connection ends with a response when either side said so (HTTP/1.0 or
// "Connection: close"), so a client reading to the close is not left waiting; otherwise it
// stays open for the next request.
TEST_F(HttpProxyTest, ConnectionEndsWithTheResponseWhenEitherSideSaysSo) {
  struct Row {
    const char* version;
    const char* requestLine;  // an extra request header line, or ""
    const char* response;
    bool closes;
  } rows[] = {
      {"HTTP/1.1", "", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok", true},
      {"HTTP/1.1", "",
       "HTTP/1.1 200 OK\r\nconnection: Upgrade, CLOSE\r\nContent-Length: 2\r\n\r\nok", true},
      {"HTTP/1.1", "", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", true},
      {"HTTP/1.0", "", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", true},
      {"HTTP/1.1", "Connection: close\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", true},
      {"HTTP/1.1", "Proxy-Connection: close\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
       true},
      {"HTTP/1.1", "", "HTTP/1.1 200 OK\r\nConnection: closed\r\nContent-Length: 2\r\n\r\nok",
       false},
  };
  StartProxy();
  for (const Row& row : rows) {
    RecordingOrigin origin([&](const std::string&, int) { return std::string(row.response); });
    const std::string h = origin.Host();
    const std::string request = "GET http://" + h + "/ " + row.version + "\r\nHost: " + h + "\r\n" +
                                row.requestLine + "\r\n";
    int fd = Connect();
    ASSERT_TRUE(SendAll(fd, request));
    EXPECT_EQ(ReadExactly(fd, std::strlen(row.response)), row.response);
    if (row.closes) {
      EXPECT_TRUE(WaitForClose(fd)) << row.response;  // closed, not a read that timed out
    } else {
      ASSERT_TRUE(SendAll(fd, request));  // the connection still serves
      EXPECT_EQ(ReadExactly(fd, std::strlen(row.response)), row.response);
    }
    close(fd);
  }
}

// A name that does not resolve in time and a port nobody listens on both get the 502 page,
// for a plain request and for CONNECT.
TEST_F(HttpProxyTest, UnresolvableOrUnreachableDestinationGets502) {
  UseSilentDns();
  StartProxy();
  for (const std::string target : {"nowhere.test:80", "127.0.0.1:1"}) {
    for (const std::string& request :
         {"GET http://" + target + "/ HTTP/1.1\r\nHost: " + target + "\r\n\r\n",
          "CONNECT " + target + " HTTP/1.1\r\n\r\n"}) {
      std::string reply = Refused(request);
      EXPECT_EQ(reply.rfind("HTTP/1.0 502 Bad Gateway\r\n", 0), 0u) << request << reply;
      EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos) << reply;
    }
  }
}

TEST_F(HttpProxyTest, RequestSplitOverReadsIsServedWhole) {
  StartProxy();
  RecordingOrigin origin;
  int fd = Connect();
  std::string request =
      "GET http://" + origin.Host() + "/s HTTP/1.1\r\nHost: " + origin.Host() + "\r\n\r\n";
  for (char c : request) ASSERT_TRUE(SendAll(fd, std::string(1, c)));
  EXPECT_NE(ReadResponse(fd).find("reply 1"), std::string::npos);
  close(fd);
  EXPECT_EQ(origin.Received(0), "GET /s HTTP/1.1\r\nHost: " + origin.Host() + "\r\n\r\n");
}

}  // namespace
}  // namespace tw::test
