// The FTP gateway's URL parsing, reply parsing and directory page, and its FTP dialogue
// against a scripted server that does what real servers do at the edges (replies split over
// packets, multi-line replies, a foreign passive address, refusals, silence).
#include "engine/http/ftp_gateway.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/http/ftp_listing_page.h"
#include "tests/support/test_sockets.h"

namespace tw {
namespace {

// The scripted servers run on loopback, which the default rules refuse.
const DestinationRules kAnyDestination{true, {}, nullptr};

ResolverPool& Resolver() {
  static ResolverPool resolver;
  return resolver;
}

FtpGatewayLimits Limits(uint32_t read_ms, uint32_t dialogue_ms = 120000) {
  return FtpGatewayLimits{read_ms, dialogue_ms, kDefaultLookupTimeoutMs};
}

TEST(FtpGatewayTest, RequestLineGivesLoginAndPath) {
  struct Case {
    std::string line;
    bool ok;
    std::string user, password, path;
  } cases[] = {
      {"GET ftp://h/ HTTP/1.1", true, "anonymous", "WebUsr@", "/"},
      {"GET ftp://h HTTP/1.1", true, "anonymous", "WebUsr@", "/"},
      {"get FTP://bob:pw@h:2121/pub/a.txt HTTP/1.1", true, "bob", "pw", "/pub/a.txt"},
      {"GET ftp://carol@h/x HTTP/1.1", true, "carol", "WebUsr@", "/x"},
      {"GET ftp://a%40b:p%3Aw@h/ HTTP/1.1", true, "a@b", "p:w", "/"},
      {"GET ftp://u:p@x@h/ HTTP/1.1", true, "u", "p@x", "/"},
      {"GET ftp://h/with%20blank/ HTTP/1.1", true, "anonymous", "WebUsr@", "/with blank/"},
      {"GET ftp://h/a@b/c HTTP/1.1", true, "anonymous", "WebUsr@", "/a@b/c"},
      {"GET ftp://h/a%0d%0aDELE%20x HTTP/1.1", false, "", "", ""},
      {"GET ftp://u%0a:p@h/ HTTP/1.1", false, "", "", ""},
      {"GET ftp://h/a%00 HTTP/1.1", false, "", "", ""},
      {"GET ftp://h/a%2 HTTP/1.1", false, "", "", ""},
      {"GET ftp://h/" + std::string(300, 'a') + " HTTP/1.1", false, "", "", ""},
      {"GET http://h/ HTTP/1.1", false, "", "", ""},
  };
  for (const Case& c : cases) {
    FtpRequest r;
    ASSERT_EQ(ParseFtpRequest(c.line, &r), c.ok) << c.line;
    if (!c.ok) continue;
    EXPECT_EQ(r.user, c.user) << c.line;
    EXPECT_EQ(r.password, c.password) << c.line;
    EXPECT_EQ(r.path, c.path) << c.line;
  }
}

TEST(FtpGatewayTest, PassiveAndSizeReplies) {
  uint16_t port = 0;
  EXPECT_TRUE(ParseGatewayPassivePort("227 Entering Passive Mode (127,0,0,1,19,137).", &port));
  EXPECT_EQ(port, 19 * 256 + 137);
  for (const char* bad :
       {"227 Entering Passive Mode", "227 (1,2,3,4,5)", "227 (1,2,3,4,5,6,7)",
        "227 (1,2,3,4,256,1)", "227 (1,2,3,4,0,0)", "227 (a,b,c,d,e,f)", "227 )1,2,3,4,5,6("}) {
    EXPECT_FALSE(ParseGatewayPassivePort(bad, &port)) << bad;
  }
  EXPECT_EQ(ParseSizeReply("213 1048576\n"), 1048576);
  EXPECT_EQ(ParseSizeReply("213 5000000000"), 5000000000);
  EXPECT_EQ(ParseSizeReply("500 SIZE not understood"), 0);
  EXPECT_EQ(ParseSizeReply("213"), 0);
  EXPECT_EQ(ParseSizeReply("213 99999999999999999999999"), 0);
}

TEST(FtpGatewayTest, ListingPageShowsEveryEntryLinkedAndEscaped) {
  std::string listing =
      "drwxr-xr-x   2 ftp ftp        4096 Jan 02 10:00 sub dir\r\n"
      "-rw-r--r--   1 ftp ftp          12 Feb 03  2023 a b  c.txt\r\n"
      "-rw-r--r--   1 ftp ftp           1 Mar 04 11:11 <img src=x onerror=y>\n"
      "total 3\r\n"
      "-rw-r--r--   1 ftp ftp           7 Apr 05 12:12 100%\"#?.txt";  // no line end
  std::string page = ListingToHtml(listing, "/pub");
  EXPECT_EQ(page,
            "<html><head><base href=\"/pub/\"></head><body><h2>Directory of /pub/</h2><hr>"
            "<A HREF=\"../\">Up</A><BR><BR><pre>"
            "Jan 02 10:00     DIR  <a href=./sub%20dir><b>sub dir</b></a>\r\n"
            "Feb 03 2023     12  <a href=./a%20b%20%20c.txt>a b  c.txt</a>\r\n"
            "Mar 04 11:11     1  <a href=./%3Cimg%20src%3Dx%20onerror%3Dy%3E>"
            "&lt;img src=x onerror=y&gt;</a>\r\n"
            "      <a href=./total%203>total 3</a>\r\n"
            "Apr 05 12:12     7  <a href=./100%25%22%23%3F.txt>100%&quot;#?.txt</a>\r\n"
            "</pre></body></html>")
      << page;
}

TEST(FtpGatewayTest, ListingPageHeadingAtTheRootAndForMarkupInThePath) {
  const std::string root =
      "<html><head><base href=\"/\"></head><body><h2>Directory of /</h2><hr><pre></pre>"
      "</body></html>";
  EXPECT_EQ(ListingToHtml("", "/"), root);
  EXPECT_EQ(ListingToHtml("", ""), root);
  EXPECT_EQ(ListingToHtml("", "/<s>/"),
            "<html><head><base href=\"/%3Cs%3E/\"></head><body><h2>Directory of /&lt;s&gt;/</h2>"
            "<hr><A HREF=\"../\">Up</A><BR><BR><pre></pre></body></html>");
  // A path that starts with "//" stays a path of this server, never a base on another host.
  EXPECT_EQ(ListingToHtml("", "//evil.example/").rfind(
                "<html><head><base href=\"/.//evil.example/\"></head>", 0),
            0u);
}

// A 64 KiB listing of short names under a 255-character path: the path is written once, so
// the page stays within a small multiple of the listing, comes in bounded pieces, and its
// counted size is the size of what is sent.
TEST(FtpGatewayTest, ListingPageUnderALongPathStaysSmallAndComesInBoundedPieces) {
  std::string path = "/" + std::string(254, '%');  // every character encodes to three
  std::string listing;
  for (int i = 0; listing.size() < 64 * 1024; ++i) listing += std::to_string(i % 10) + "\r\n";
  ListingPage page(listing, path);
  size_t total = page.TotalSize();
  std::string piece, whole;
  size_t largest = 0;
  while (page.Next(&piece)) {
    largest = std::max(largest, piece.size());
    whole += piece;
  }
  EXPECT_EQ(whole.size(), total);
  EXPECT_EQ(whole, ListingToHtml(listing, path));
  EXPECT_LT(total, 10 * listing.size()) << "a line's markup does not grow with the path";
  EXPECT_LT(largest, ListingPage::kPieceBytes + 256) << "a piece ends after the line that fills it";
  std::string encoded;
  for (int i = 0; i < 254; ++i) encoded += "%25";
  EXPECT_NE(whole.find(encoded), std::string::npos);
  EXPECT_EQ(whole.find(encoded), whole.rfind(encoded)) << "the encoded path appears once";
}

// A scripted FTP server: one control connection, answers chosen per command, a passive data
// listener whose address in the 227 reply is a foreign one.
class ScriptedFtpServer {
 public:
  using Answer = std::function<void(int control, int data_listener)>;

  ScriptedFtpServer() {
    listener_ = test::ListenLoopback(4, &port_);
    data_listener_ = test::ListenLoopback(4, &data_port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedFtpServer() {
    shutdown(listener_, SHUT_RDWR);
    shutdown(data_listener_, SHUT_RDWR);
    if (control_ != -1) shutdown(control_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(listener_);
    close(data_listener_);
    if (control_ != -1) close(control_);
  }
  uint16_t port() const { return port_; }
  uint16_t data_port() const { return data_port_; }
  // The commands received, once the client has closed the control connection.
  std::vector<std::string> Commands() {
    if (thread_.joinable()) thread_.join();
    return commands_;
  }

  std::string greeting = "220-first\r\n220 ready\r\n";
  std::map<std::string, std::string> replies = {
      {"USER", "331 pw\r\n"}, {"PASS", "230 in\r\n"}, {"SYST", "215 UNIX\r\n"},
      {"TYPE", "200 ok\r\n"}, {"CWD", "250 ok\r\n"},  {"QUIT", "221 bye\r\n"},
  };
  std::string listing = "-rw-r--r-- 1 a b 3 Jan 01 00:00 x\r\n";
  // Consulted first for every command; a non-empty answer is sent instead of the above.
  std::function<std::string(const std::string& line)> answer;
  bool silent = false;
  bool split_replies = false;
  // After the greeting, a preliminary reply every few milliseconds until the client leaves.
  bool preliminary_forever = false;

 private:
  void Reply(const std::string& text) {
    if (!split_replies) {
      test::SendAll(control_, text);
      return;
    }
    for (char c : text) test::SendAll(control_, std::string(1, c));
  }

  void Run() {
    control_ = accept(listener_, nullptr, nullptr);
    if (control_ == -1 || silent) return;
    Reply(greeting);
    while (preliminary_forever) {
      // Paced, so each reply comes well within the client's per-read limit.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (send(control_, "120 soon\r\n", 10, MSG_NOSIGNAL) != 10) return;
    }
    std::string pending;
    int data = -1;
    char buf[512];
    for (;;) {
      size_t eol = pending.find("\r\n");
      if (eol == std::string::npos) {
        ssize_t n = recv(control_, buf, sizeof buf, 0);
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        continue;
      }
      std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 2);
      commands_.push_back(line);
      std::string verb = line.substr(0, line.find(' '));
      std::string custom = answer ? answer(line) : "";
      if (!custom.empty()) {
        Reply(custom);
      } else if (verb == "PASV") {
        Reply("227 Entering Passive Mode (10,255,255,1," + std::to_string(data_port_ >> 8) + "," +
              std::to_string(data_port_ & 255) + ")\r\n");
        data = accept(data_listener_, nullptr, nullptr);
      } else if (verb == "LIST" || verb == "RETR") {
        auto it = replies.find(verb);
        if (it != replies.end()) {
          Reply(it->second);
          continue;
        }
        Reply("150 here\r\n");
        test::SendAll(data, listing);
        close(data);
        data = -1;
        Reply("226 done\r\n");
      } else if (replies.count(verb) != 0) {
        Reply(replies[verb]);
      } else {
        Reply("502 no\r\n");
      }
    }
    if (data != -1) close(data);
  }

  int listener_ = -1, data_listener_ = -1;
  std::atomic<int> control_{-1};  // also shut down by the destructor
  uint16_t port_ = 0, data_port_ = 0;
  std::thread thread_;
  std::vector<std::string> commands_;
};

TEST(FtpGatewayTest, DialogueReadsListingThroughTheControlServersAddress) {
  ScriptedFtpServer server;
  server.split_replies = true;
  server.replies["PASS"] = "230-welcome\r\n230-more\r\n230 in\r\n";
  FtpRequest r;
  r.path = "/d";
  FtpFetchResult result;
  ASSERT_TRUE(FtpGatewayFetch("127.0.0.1", server.port(), r, kAnyDestination, Limits(5000),
                              &Resolver(), &result));
  EXPECT_EQ(result.dataFd, -1);
  EXPECT_EQ(result.listing, server.listing);
  std::vector<std::string> expected = {"USER anonymous", "PASS WebUsr@", "SYST", "TYPE I",
                                       "PASV",           "CWD /d",       "LIST", "QUIT"};
  EXPECT_EQ(server.Commands(), expected);
}

TEST(FtpGatewayTest, FileIsRetrievedWithSizeAndCommandsEndInCrLf) {
  ScriptedFtpServer server;
  server.answer = [](const std::string& line) -> std::string {
    if (line == "CWD /pub/f.txt") return "550 not a directory\r\n";
    if (line == "CWD /pub/") return "250 ok\r\n";
    if (line == "SIZE f.txt") return "213 3\r\n";
    return "";
  };
  server.listing = "abc";
  FtpRequest r;
  r.path = "/pub/f.txt";
  FtpFetchResult result;
  ASSERT_TRUE(FtpGatewayFetch("127.0.0.1", server.port(), r, kAnyDestination, Limits(5000),
                              &Resolver(), &result));
  ASSERT_NE(result.dataFd, -1) << "the data connection is handed over";
  EXPECT_EQ(result.fileSize, 3);
  EXPECT_EQ(test::ReadUntilClose(result.dataFd), "abc");
  close(result.dataFd);
  std::vector<std::string> expected = {
      "USER anonymous", "PASS WebUsr@", "SYST",       "TYPE I",     "PASV",
      "CWD /pub/f.txt", "CWD /pub/",    "SIZE f.txt", "RETR f.txt", "QUIT"};
  EXPECT_EQ(server.Commands(), expected);
}

TEST(FtpGatewayTest, FileInADirectoryThatCannotBeEnteredIsNotTransferred) {
  ScriptedFtpServer server;
  server.replies["CWD"] = "550 no\r\n";
  FtpRequest r;
  r.path = "/pub/f.txt";
  FtpFetchResult result;
  ASSERT_TRUE(FtpGatewayFetch("127.0.0.1", server.port(), r, kAnyDestination, Limits(5000),
                              &Resolver(), &result));
  EXPECT_EQ(result.dataFd, -1);
  EXPECT_EQ(result.listing, "");
}

TEST(FtpGatewayTest, RefusalsAndSilenceEndTheDialogue) {
  FtpRequest r;
  {
    ScriptedFtpServer server;
    server.replies["PASS"] = "530 no\r\n";
    FtpFetchResult result;
    EXPECT_FALSE(FtpGatewayFetch("127.0.0.1", server.port(), r, kAnyDestination, Limits(5000),
                                 &Resolver(), &result))
        << "login refused";
  }
  {
    ScriptedFtpServer server;
    server.greeting = "421 busy\r\n";
    FtpFetchResult result;
    EXPECT_FALSE(FtpGatewayFetch("127.0.0.1", server.port(), r, kAnyDestination, Limits(5000),
                                 &Resolver(), &result))
        << "no greeting";
  }
  {
    ScriptedFtpServer server;
    server.greeting = "not an ftp server\r\n";
    FtpFetchResult result;
    EXPECT_FALSE(FtpGatewayFetch("127.0.0.1", server.port(), r, kAnyDestination, Limits(5000),
                                 &Resolver(), &result))
        << "not FTP";
  }
  {
    ScriptedFtpServer server;
    server.silent = true;
    FtpFetchResult result;
    EXPECT_FALSE(FtpGatewayFetch("127.0.0.1", server.port(), r, kAnyDestination, Limits(200),
                                 &Resolver(), &result))
        << "silence";
  }
  {
    ScriptedFtpServer server;
    server.replies["LIST"] = "425 no data connection\r\n";
    FtpFetchResult result;
    EXPECT_TRUE(FtpGatewayFetch("127.0.0.1", server.port(), r, kAnyDestination, Limits(5000),
                                &Resolver(), &result))
        << "a refused LIST gives an empty page, without waiting on the data connection";
    EXPECT_EQ(result.listing, "");
  }
  FtpFetchResult result;
  EXPECT_FALSE(FtpGatewayFetch("no-such-host.invalid", 21, r, kAnyDestination, Limits(500),
                               &Resolver(), &result));
}

// A server that keeps answering "wait" within each read's limit is given up at the deadline of
// the whole dialogue, whether it stalls the greeting or a reply to a command.
TEST(FtpGatewayTest, PreliminaryRepliesForeverAreGivenUpAtTheDialogueDeadline) {
  for (const char* greeting : {"120 soon\r\n", "220 ready\r\n"}) {
    ScriptedFtpServer server;
    server.greeting = greeting;
    server.preliminary_forever = true;
    FtpRequest r;
    FtpFetchResult result;
    EXPECT_FALSE(FtpGatewayFetch("127.0.0.1", server.port(), r, kAnyDestination, Limits(1000, 600),
                                 &Resolver(), &result))
        << greeting;
  }
}

// The policy is asked before the control connection and again before the data connection, whose
// port a server on this machine could point at one of the proxy's own listeners.
TEST(FtpGatewayTest, DestinationPolicyRefusesControlAndDataConnections) {
  FtpRequest r;
  {
    ScriptedFtpServer server;
    FtpFetchResult result;
    EXPECT_FALSE(FtpGatewayFetch("127.0.0.1", server.port(), r, DestinationRules{}, Limits(5000),
                                 &Resolver(), &result));
    EXPECT_EQ(result.refused, "127.0.0.1:" + std::to_string(server.port()));
  }
  {
    ScriptedFtpServer server;
    auto own = std::make_shared<OwnEndpoints>();
    own->Add(ListenEndpoint{0, server.data_port()});
    FtpFetchResult result;
    EXPECT_FALSE(FtpGatewayFetch("127.0.0.1", server.port(), r, DestinationRules{true, {}, own},
                                 Limits(5000), &Resolver(), &result));
    EXPECT_EQ(result.refused, "127.0.0.1:" + std::to_string(server.data_port()));
    EXPECT_EQ(result.dataFd, -1);
  }
}

}  // namespace
}  // namespace tw
