// The POP3 proxy as clients see it: curl listing and fetching mail from a scripted POP3
// server, and raw sockets for the exact texts, the commands answered before USER, split and
// pipelined lines, refusals, unreachable or misbehaving servers and malformed input.
#include "engine/mail/pop3_proxy.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>

#include "mail_fixture.h"

namespace tw::test {
namespace {

constexpr char kWelcome[] = "+OK welcome to Tarnwick Proxy Server\r\n";
const std::string kMessage =
    "From: alice@example.test\r\nSubject: hello\r\n\r\nfirst line\r\n.dot line\r\nlast line\r\n";

MailTestServer::Answer Say(const std::string& text) {
  return {{text}};
}

// A mailbox server whose USER answer names the mailbox, so a test sees whose answer came back.
MailTestServer::Script NamingMailbox() {
  auto box = MailTestServer::Pop3Mailbox({kMessage});
  return [box](const std::string& line) {
    if (line.rfind("USER ", 0) == 0) return Say("+OK mailbox " + line.substr(5) + "\r\n");
    return box(line);
  };
}

class Pop3ProxyTest : public MailFixture {
 protected:
  // Connects and takes the greeting.
  int Client() {
    int fd = Connect();
    EXPECT_EQ(ReadExactly(fd, sizeof kWelcome - 1), kWelcome);
    return fd;
  }
  std::string Target(const MailTestServer& server) {
    return "127.0.0.1:" + std::to_string(server.port());
  }
};

TEST_F(Pop3ProxyTest, CurlListsAndRetrievesMail) {
  StartProxy(kProtocolPop3);
  MailTestServer server({"+OK real server ready\r\n"},
                        MailTestServer::Pop3Mailbox({kMessage, "Subject: two\r\n\r\nx\r\n"}));
  std::string url = "pop3://alice%23127.0.0.1%3A" + std::to_string(server.port()) +
                    ":secret@127.0.0.1:" + std::to_string(proxy_->port()) + "/";
  int status = 0;
  std::string list = RunCommand("curl -s --max-time 20 '" + url + "'", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(list, "1 " + std::to_string(kMessage.size()) + "\r\n2 19\r\n");
  std::string message = RunCommand("curl -s --max-time 20 '" + url + "1'", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(message, kMessage) << "the message arrives intact, dot-stuffing undone by curl";
  std::vector<std::string> lines = server.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "USER alice");
  EXPECT_EQ(lines[1], "PASS secret");
  EXPECT_EQ(lines[2], "LIST");
  std::vector<std::string> logged = Logged();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0], "Pop3 127.0.0.1:127.0.0.1") << "the host without its port";
}

TEST_F(Pop3ProxyTest, UserReachesTheServerAndEverythingAfterPassesUnchanged) {
  StartProxy(kProtocolPop3);
  MailTestServer server({"+OK real server ready <1.2@x>\r\n"}, NamingMailbox());
  int fd = Client();
  ASSERT_TRUE(SendAll(fd, "CAPA\r\n"));
  EXPECT_EQ(ReadExactly(fd, sizeof kPop3Capabilities - 1), kPop3Capabilities);
  ASSERT_TRUE(SendAll(fd, "user bob#" + Target(server) + "\r\n"));
  EXPECT_EQ(ReadLine(fd), "+OK mailbox bob\r\n")
      << "the server's greeting stays with the proxy; its USER answer is the client's";
  ASSERT_TRUE(SendAll(fd, "PASS p w\r\nSTAT\r\n"));
  EXPECT_EQ(ReadLine(fd), "+OK\r\n");
  EXPECT_EQ(ReadLine(fd), "+OK 1 " + std::to_string(kMessage.size()) + "\r\n");
  ASSERT_TRUE(SendAll(fd, "QUIT\r\n"));
  EXPECT_EQ(ReadLine(fd), "+OK bye\r\n");
  EXPECT_TRUE(WaitForClose(fd));
  close(fd);
  EXPECT_EQ(server.Lines(), (std::vector<std::string>{"USER bob", "PASS p w", "STAT", "QUIT"}));
}

TEST_F(Pop3ProxyTest, WrongUserFormsAreExplainedAndTheClientMayTryAgain) {
  StartProxy(kProtocolPop3);
  MailTestServer server({"+OK ready\r\n"}, NamingMailbox());
  struct Case {
    std::string line;
    const char* reply;
  } cases[] = {
      {"USER alice", kPop3UserForm},
      {"USER", kPop3UserForm},
      {"USER ", kPop3UserForm},
      {"USER #127.0.0.1", kPop3UserForm},
      {"USER alice#", kPop3UserForm},
      {"USER alice#127.0.0.1:", kPop3UserForm},
      {"USER alice#127.0.0.1:70000", kPop3UserForm},
      {"USER alice#127.0.0.1:1x", kPop3UserForm},
      {"USER " + std::string(300, 'm') + "#127.0.0.1", kPop3UserForm},
      {"USER al\rice#127.0.0.1", kPop3UserForm},  // a bare CR would split the server's line
      {"USER al\x01ice#127.0.0.1", kPop3UserForm},
      {"USER alice#127.0.0.\x7f"
       "1",
       kPop3UserForm},
      {"PASS secret", kPop3LogInFirst},
      {"STLS", kPop3LogInFirst},
      {"AUTH", kPop3LogInFirst},
      {"AUTH PLAIN", kPop3LogInFirst},
      {"", kPop3LogInFirst},
  };
  int fd = Client();
  for (const Case& c : cases) {
    ASSERT_TRUE(SendAll(fd, c.line + "\r\n"));
    EXPECT_EQ(ReadLine(fd), c.reply) << c.line;
  }
  ASSERT_TRUE(SendAll(fd, "USER carol#" + Target(server) + "\r\n"));
  EXPECT_EQ(ReadLine(fd), "+OK mailbox carol\r\n") << "the same connection still logs in";
  close(fd);
  EXPECT_EQ(Logged().size(), 1u) << "only the USER that names a server is logged";
  EXPECT_EQ(server.accepted(), 1);
}

TEST_F(Pop3ProxyTest, LinesSplitOverReadsOrSentTogetherAreAllHandled) {
  StartProxy(kProtocolPop3);
  MailTestServer server({"+OK ready\r\n"}, NamingMailbox());
  int fd = Client();
  ASSERT_TRUE(SendAll(fd, "CA"));
  PacketGap();
  EXPECT_TRUE(NothingReadable(fd)) << "half a line is kept until its end arrives";
  ASSERT_TRUE(SendAll(fd, "PA\r\nUS"));
  EXPECT_EQ(ReadExactly(fd, sizeof kPop3Capabilities - 1), kPop3Capabilities);
  PacketGap();
  // The rest of USER with PASS and STAT behind it in one write: they reach the server after it.
  ASSERT_TRUE(SendAll(fd, "ER dan#" + Target(server) + "\nPASS x\r\nSTAT\r\n"));
  EXPECT_EQ(ReadLine(fd), "+OK mailbox dan\r\n");
  EXPECT_EQ(ReadLine(fd), "+OK\r\n");
  EXPECT_EQ(ReadLine(fd), "+OK 1 " + std::to_string(kMessage.size()) + "\r\n");
  close(fd);
  EXPECT_EQ(server.WaitForLines(3), (std::vector<std::string>{"USER dan", "PASS x", "STAT"}));

  fd = Client();  // the whole dialogue byte by byte
  for (char c : "USER eve#" + Target(server) + "\r\nPASS y\r\n") {
    ASSERT_TRUE(SendAll(fd, std::string(1, c)));
  }
  EXPECT_EQ(ReadLine(fd), "+OK mailbox eve\r\n");
  EXPECT_EQ(ReadLine(fd), "+OK\r\n");
  close(fd);
}

TEST_F(Pop3ProxyTest, MailboxIsCutAtTheFirstHash) {
  StartProxy(kProtocolPop3);
  MailTestServer server({"+OK ready\r\n"}, NamingMailbox());
  int fd = Client();
  // The server text is then "x#127.0.0.1:port", a host that does not exist.
  ASSERT_TRUE(SendAll(fd, "USER a#x#" + Target(server) + "\r\n"));
  EXPECT_EQ(ReadUntilClose(fd), kPop3DestinationUnreachable) << "an unknown host is reported";
  close(fd);
  EXPECT_EQ(Logged(), (std::vector<std::string>{"Pop3 x#127.0.0.1:127.0.0.1"}));
  EXPECT_EQ(server.accepted(), 0);
}

TEST_F(Pop3ProxyTest, GuestRuleRefusesEveryLineButQuit) {
  StartProxy(kProtocolPop3, "10.9.9.1-10.9.9.50");
  MailTestServer server({"+OK ready\r\n"}, NamingMailbox());
  int fd = Client();
  for (std::string line : {"CAPA", "USER bob#127.0.0.1", "USER bob#127.0.0.1"}) {
    ASSERT_TRUE(SendAll(fd, line + "\r\n"));
    EXPECT_EQ(ReadLine(fd), kPop3IpNotAllowed) << line;
  }
  ASSERT_TRUE(SendAll(fd, "QUIT\r\n"));
  EXPECT_EQ(ReadLine(fd), kPop3Bye);
  EXPECT_TRUE(WaitForClose(fd));
  close(fd);
  EXPECT_TRUE(Logged().empty());
  EXPECT_EQ(server.accepted(), 0);
}

TEST_F(Pop3ProxyTest, ServersThatRefuseFailOrCannotBeReachedEndTheClient) {
  StartProxy(kProtocolPop3);
  MailTestServer busy({"-ERR too busy\r\n"}, NamingMailbox());
  int fd = Client();
  ASSERT_TRUE(SendAll(fd, "USER a#" + Target(busy) + "\r\n"));
  EXPECT_EQ(ReadUntilClose(fd), "-ERR too busy\r\n") << "the server's refusal reaches the client";
  close(fd);

  // A server that closes at once ends the client; a port where nobody listens is reported.
  TestServer closes(TestServer::kSilentClose);
  fd = Client();
  ASSERT_TRUE(SendAll(fd, "USER a#127.0.0.1:" + std::to_string(closes.port()) + "\r\n"));
  EXPECT_EQ(ReadUntilClose(fd), "");
  close(fd);
  fd = Client();
  ASSERT_TRUE(SendAll(fd, "USER a#127.0.0.1:1\r\n"));
  EXPECT_EQ(ReadUntilClose(fd), kPop3DestinationUnreachable);
  close(fd);
}

TEST_F(Pop3ProxyTest, UnresolvableServerNameIsReported) {
  UseSilentDns();
  StartProxy(kProtocolPop3);
  int fd = Client();
  ASSERT_TRUE(SendAll(fd, "USER a#nowhere.test\r\n"));
  EXPECT_EQ(ReadUntilClose(fd), kPop3DestinationUnreachable);
  close(fd);
}

// The policy's refusal ends the client with "-ERR": by default for any loopback server, and
// with local destinations allowed for the proxy's own port (also by a name resolving to it).
TEST_F(Pop3ProxyTest, LocalAndOwnDestinationsAreRefusedWithErr) {
  MailTestServer server({"+OK ready\r\n"}, NamingMailbox());
  ExpectLocalAndOwnDestinationsRefused(
      kProtocolPop3, server.port(),
      [this](const std::string& target) {
        int fd = Client();
        SendAll(fd, "USER a#" + target + "\r\n");
        return fd;
      },
      kPop3DestinationRefused);
}

TEST_F(Pop3ProxyTest, OverlongLinesAndIdleClientsAreClosed) {
  StartProxy(kProtocolPop3, "", /*dialogueTimeoutMs=*/300);
  int fd = Client();
  ASSERT_TRUE(SendAll(fd, std::string(1200, 'A')));
  EXPECT_EQ(ReadUntilClose(fd), kPop3LineTooLong);
  close(fd);

  int silent = Client();
  int partial = Client();
  ASSERT_TRUE(SendAll(partial, "USER al"));
  EXPECT_TRUE(WaitForClose(silent)) << "closed after the dialogue time";
  EXPECT_TRUE(WaitForClose(partial));
  close(silent);
  close(partial);

  // A server that accepts but never greets is given up within the same time.
  MailTestServer mute({}, [](const std::string&) { return MailTestServer::Answer{}; });
  fd = Client();
  ASSERT_TRUE(SendAll(fd, "USER a#127.0.0.1:" + std::to_string(mute.port()) + "\r\n"));
  EXPECT_EQ(ReadUntilClose(fd), "");
  close(fd);
}

TEST_F(Pop3ProxyTest, MalformedInputNeverCrashesOrLeaks) {
  StartProxy(kProtocolPop3);
  MailTestServer server({"+OK ready\r\n"}, NamingMailbox());
  std::mt19937 rng(11);
  const std::string pieces[] = {"USER ",
                                "#",
                                ":",
                                "\r\n",
                                "\n",
                                "\r",
                                std::string(1, '\0'),
                                "127.0.0.1",
                                std::to_string(server.port()),
                                "CAPA",
                                "x"};
  for (int i = 0; i < 150; ++i) {
    int fd = Connect();
    std::string junk;
    for (int k = 0, n = 1 + static_cast<int>(rng() % 12); k < n; ++k) {
      junk += rng() % 4 == 0 ? std::string(1, static_cast<char>(rng())) : pieces[rng() % 11];
    }
    SendAll(fd, junk);
    shutdown(fd, SHUT_WR);
    ReadUntilClose(fd);
    close(fd);
  }
}

}  // namespace
}  // namespace tw::test
