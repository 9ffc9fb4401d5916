// The SMTP proxy as clients see it: curl sending a mail through the proxy to a real SMTP
// server with AUTH LOGIN, and raw sockets against a scripted server for the exact texts, the
// commands answered before the user name, split replies, refusals and malformed input.
#include "engine/mail/smtp_proxy.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "engine/mail/mail_messages.h"
#include "mail_fixture.h"
#include "tests/support/child_process.h"

namespace tw::test {
namespace {

constexpr char kWelcome[] = "220 welcome to Tarnwick Proxy Server\r\n";
constexpr char kPasswordPrompt[] = "334 UGFzc3dvcmQ6\r\n";

// The folder of this test's helper scripts, absolute, whatever the build's working directory.
std::string ThisDir() {
  return TW_INTEGRATION_DIR;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

MailTestServer::Answer Say(std::vector<std::string> writes) {
  return {std::move(writes)};
}

// A server that wants AUTH LOGIN: it prompts for the password after the user name and accepts
// whatever comes, then takes a mail transaction.
MailTestServer::Script AuthServer(std::vector<std::string> ehlo_reply = {
                                      "250-mail.test\r\n250 AUTH LOGIN PLAIN\r\n"}) {
  auto stage = std::make_shared<int>(0);
  return [stage, ehlo_reply](const std::string& line) {
    if (line.rfind("EHLO", 0) == 0) return Say(ehlo_reply);
    if (line == "AUTH LOGIN") {
      *stage = 1;
      return Say({"334 VXNlcm5hbWU6\r\n"});
    }
    if (*stage == 1) {
      *stage = 2;
      return Say({kPasswordPrompt});
    }
    if (*stage == 2) {
      *stage = 3;
      return Say({"235 2.7.0 Authentication successful\r\n"});
    }
    if (line == "QUIT") return MailTestServer::Answer{{"221 bye\r\n"}, true};
    return Say({"250 OK\r\n"});
  };
}

class SmtpProxyTest : public MailFixture {
 protected:
  int Client() {
    int fd = Connect();
    EXPECT_EQ(ReadExactly(fd, sizeof kWelcome - 1), kWelcome);
    return fd;
  }
  // EHLO and AUTH LOGIN, up to the user name prompt.
  int ClientAtUserPrompt() {
    int fd = Client();
    EXPECT_TRUE(SendAll(fd, "EHLO pc\r\n"));
    EXPECT_EQ(ReadLine(fd), kSmtpAuthOffer);
    EXPECT_TRUE(SendAll(fd, "AUTH LOGIN\r\n"));
    EXPECT_EQ(ReadLine(fd), kSmtpUserPrompt);
    return fd;
  }
  static std::string User(const std::string& name, const MailTestServer& server) {
    return Base64Encode(name + "#127.0.0.1:" + std::to_string(server.port())) + "\r\n";
  }
};

TEST_F(SmtpProxyTest, CurlSendsAMailThatTheRealServerReceivesIntact) {
  StartProxy(kProtocolSmtp);
  std::string dir = data_dir_ + "/smtp";
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ChildProcess server({"/usr/bin/python3", "-W", "ignore", ThisDir() + "/smtp_auth_server.py", dir,
                       "alice", "s3cret"});
  ASSERT_TRUE(server.running());
  std::string port;
  ASSERT_TRUE(server.ReadLine(&port)) << "the SMTP server did not start";
  std::string mail =
      "From: alice@example.test\r\nTo: bob@example.test\r\nSubject: through the proxy\r\n\r\n"
      "line one\r\n.leading dot\r\n";
  for (int i = 0; i < 600; ++i) mail += std::to_string(i) + std::string(70, 'z') + "\r\n";
  mail += "last line\r\n";  // some 45 KB: several reads and sends of the relay
  std::ofstream(dir + "/out.eml", std::ios::binary) << mail;
  std::string url = "smtp://alice%23127.0.0.1%3A" + port +
                    ":s3cret@127.0.0.1:" + std::to_string(proxy_->port()) + "/client.test";
  int status = 0;
  RunCommand("curl -s -S --max-time 20 '" + url +
                 "' --mail-from alice@example.test --mail-rcpt bob@example.test -T '" + dir +
                 "/out.eml'",
             &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(ReadFile(dir + "/message-1.eml") == mail) << "the mail arrives intact";
  EXPECT_EQ(ReadFile(dir + "/message-1.meta"),
            "ehlo=Tarnwick Proxy Server\nfrom=alice@example.test\nto=bob@example.test\n");
  EXPECT_EQ(ReadFile(dir + "/logins"), "LOGIN alice ok\n");
  EXPECT_EQ(Logged(), (std::vector<std::string>{"SMTP 127.0.0.1:" + port + ":127.0.0.1"}));

  url = "smtp://alice%23127.0.0.1%3A" + port + ":wrong@127.0.0.1:" + std::to_string(proxy_->port());
  RunCommand(
      "curl -s --max-time 20 '" + url + "' --mail-rcpt bob@example.test -T '" + dir + "/out.eml'",
      &status);
  EXPECT_NE(status, 0) << "the real server's refusal of the password reaches curl";
  EXPECT_EQ(ReadFile(dir + "/logins"), "LOGIN alice ok\nLOGIN alice refused\n");
}

TEST_F(SmtpProxyTest, DialogueTextsOnBothSides) {
  StartProxy(kProtocolSmtp);
  MailTestServer server({"220 real server\r\n"}, AuthServer());
  int fd = ClientAtUserPrompt();
  ASSERT_TRUE(SendAll(fd, User("alice", server)));
  EXPECT_EQ(ReadLine(fd), kPasswordPrompt) << "the real server's prompt reaches the client";
  ASSERT_TRUE(SendAll(fd, "c2VjcmV0\r\nMAIL FROM:<a@x>\r\n"));
  EXPECT_EQ(ReadLine(fd), "235 2.7.0 Authentication successful\r\n");
  EXPECT_EQ(ReadLine(fd), "250 OK\r\n");
  close(fd);
  EXPECT_EQ(server.WaitForLines(5),
            (std::vector<std::string>{"EHLO Tarnwick Proxy Server", "AUTH LOGIN",
                                      Base64Encode("alice"), "c2VjcmV0", "MAIL FROM:<a@x>"}));
  EXPECT_EQ(Logged(), (std::vector<std::string>{"SMTP 127.0.0.1:" + std::to_string(server.port()) +
                                                ":127.0.0.1"}));
}

TEST_F(SmtpProxyTest, CommandsBeforeTheUserNameGetProperReplies) {
  StartProxy(kProtocolSmtp);
  MailTestServer server({"220 real server\r\n"}, AuthServer());
  struct Step {
    std::string line;
    const char* reply;
  } steps[] = {
      {"NOOP", kSmtpOk},
      {"MAIL FROM:<a@x>", kSmtpAuthFirst},
      {"helo pc", kSmtpAuthOffer},
      {"ehlo pc", kSmtpAuthOffer},
      {"RSET", kSmtpOk},
      {"AUTH PLAIN", kSmtpUnknownMechanism},
      {"AUTH CRAM-MD5", kSmtpUnknownMechanism},
      {"STARTTLS", kSmtpAuthFirst},
      {"AUTH login", kSmtpUserPrompt},
      {"*", kSmtpCancelled},
      {"AUTH LOGIN", kSmtpUserPrompt},
      {"not base64!", kSmtpNotBase64},
      {"AUTH LOGIN", kSmtpUserPrompt},
      {Base64Encode("alice"), kSmtpUserForm},
      {"AUTH LOGIN", kSmtpUserPrompt},
      {"", kSmtpUserForm},
      {"AUTH LOGIN", kSmtpUserPrompt},
      {Base64Encode("alice#127.0.0.1:0"), kSmtpUserForm},
      {"AUTH LOGIN", kSmtpUserPrompt},
      {Base64Encode("al\r\nice#127.0.0.1"), kSmtpUserForm},  // a line end for the server
      {"AUTH LOGIN", kSmtpUserPrompt},
      {Base64Encode("al\x01ice#127.0.0.1"), kSmtpUserForm},
      {"AUTH LOGIN " + Base64Encode("#127.0.0.1"), kSmtpUserForm},
      {"AUTH LOGIN =", kSmtpUserForm},
  };
  int fd = Client();
  for (const Step& s : steps) {
    ASSERT_TRUE(SendAll(fd, s.line + "\r\n"));
    EXPECT_EQ(ReadLine(fd), s.reply) << s.line;
  }
  // The user name on the AUTH line itself (an initial response) goes straight to the server.
  ASSERT_TRUE(SendAll(fd, "AUTH LOGIN " + User("bob", server)));
  EXPECT_EQ(ReadLine(fd), kPasswordPrompt);
  close(fd);
  EXPECT_EQ(server.WaitForLines(3)[2], Base64Encode("bob"));
  std::vector<std::string> logged = Logged();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0], "SMTP :127.0.0.1") << "a user name without # is logged without server";

  fd = Client();
  ASSERT_TRUE(SendAll(fd, "QUIT\r\n"));
  EXPECT_EQ(ReadUntilClose(fd), kSmtpBye);
  close(fd);
}

TEST_F(SmtpProxyTest, ServerRepliesSplitOverReadsAndMultiLineGreetings) {
  StartProxy(kProtocolSmtp);
  MailTestServer server(
      {"220-real server\r\n220-more", " text\r\n", "220 ready\r\n"},
      AuthServer({"250-mail.test\r\n250-SIZE", " 1000\r\n", "250 AUTH LOGIN\r\n"}));
  int fd = ClientAtUserPrompt();
  ASSERT_TRUE(SendAll(fd, User("alice", server)));
  EXPECT_EQ(ReadLine(fd), kPasswordPrompt);
  close(fd);
  EXPECT_EQ(server.WaitForLines(3), (std::vector<std::string>{"EHLO Tarnwick Proxy Server",
                                                              "AUTH LOGIN", Base64Encode("alice")}))
      << "EHLO only after the greeting's last line, AUTH only after the EHLO reply's";
}

TEST_F(SmtpProxyTest, ClientLinesSplitOverReadsOrSentTogether) {
  StartProxy(kProtocolSmtp);
  MailTestServer server({"220 real server\r\n"}, AuthServer());
  int fd = Client();
  ASSERT_TRUE(SendAll(fd, "EH"));
  PacketGap();
  EXPECT_TRUE(NothingReadable(fd));
  ASSERT_TRUE(SendAll(fd, "LO pc\r\nAUTH LOGIN\r\n"));
  EXPECT_EQ(ReadLine(fd), kSmtpAuthOffer);
  EXPECT_EQ(ReadLine(fd), kSmtpUserPrompt);
  close(fd);

  fd = Client();
  for (char c : "EHLO pc\r\nAUTH LOGIN\r\n" + User("carol", server)) {
    ASSERT_TRUE(SendAll(fd, std::string(1, c)));
  }
  EXPECT_EQ(ReadLine(fd), kSmtpAuthOffer);
  EXPECT_EQ(ReadLine(fd), kSmtpUserPrompt);
  EXPECT_EQ(ReadLine(fd), kPasswordPrompt);
  close(fd);
}

TEST_F(SmtpProxyTest, GuestRuleRefusesUntilTheClientQuits) {
  StartProxy(kProtocolSmtp, "10.9.9.7");
  int fd = Client();
  for (const char* line : {"EHLO pc", "EHLO pc", "AUTH LOGIN"}) {
    ASSERT_TRUE(SendAll(fd, std::string(line) + "\r\n"));
    EXPECT_EQ(ReadLine(fd), kSmtpIpNotAllowed) << line;
  }
  ASSERT_TRUE(SendAll(fd, "QUIT\r\n"));
  EXPECT_EQ(ReadUntilClose(fd), kSmtpBye);
  close(fd);
}

TEST_F(SmtpProxyTest, ServerRefusalsReachTheClientAndEndTheConnection) {
  StartProxy(kProtocolSmtp);
  struct Case {
    std::vector<std::string> greeting;
    std::vector<std::string> ehlo;
    std::string client_sees;
  } cases[] = {
      {{"554 no service here\r\n"}, {}, "554 no service here\r\n"},
      {{"220 ok\r\n"}, {"501 bad EHLO\r\n"}, "501 bad EHLO\r\n"},
      {{"+OK a POP3 server\r\n"}, {}, ""},  // not SMTP: closed without a reply
  };
  for (const Case& c : cases) {
    MailTestServer server(c.greeting, AuthServer(c.ehlo));
    int fd = ClientAtUserPrompt();
    ASSERT_TRUE(SendAll(fd, User("alice", server)));
    EXPECT_EQ(ReadUntilClose(fd), c.client_sees) << c.greeting[0];
    close(fd);
  }
  MailTestServer tls_only({"220 ok\r\n"}, [](const std::string& line) {
    if (line.rfind("EHLO", 0) == 0) return Say({"250 STARTTLS\r\n"});
    return Say({"530 5.7.0 Must issue a STARTTLS command first\r\n"});
  });
  int fd = ClientAtUserPrompt();
  ASSERT_TRUE(SendAll(fd, User("alice", tls_only)));
  EXPECT_EQ(ReadUntilClose(fd), "530 5.7.0 Must issue a STARTTLS command first\r\n");
  close(fd);

  fd = ClientAtUserPrompt();  // nobody listens there
  ASSERT_TRUE(SendAll(fd, Base64Encode("alice#127.0.0.1:1") + "\r\n"));
  EXPECT_EQ(ReadUntilClose(fd), kSmtpDestinationUnreachable);
  close(fd);
}

TEST_F(SmtpProxyTest, UnresolvableServerNameIsReported) {
  UseSilentDns();
  StartProxy(kProtocolSmtp);
  int fd = ClientAtUserPrompt();
  ASSERT_TRUE(SendAll(fd, Base64Encode("alice#nowhere.test") + "\r\n"));
  EXPECT_EQ(ReadUntilClose(fd), kSmtpDestinationUnreachable);
  close(fd);
}

// The policy's refusal ends the client with a 554: by default for any loopback server, and
// with local destinations allowed for the proxy's own port (also by a name resolving to it).
TEST_F(SmtpProxyTest, LocalAndOwnDestinationsAreRefusedWith554) {
  MailTestServer server({"220 ok\r\n"}, AuthServer());
  ExpectLocalAndOwnDestinationsRefused(
      kProtocolSmtp, server.port(),
      [this](const std::string& target) {
        int fd = ClientAtUserPrompt();
        SendAll(fd, Base64Encode("alice#" + target) + "\r\n");
        return fd;
      },
      kSmtpDestinationRefused);
}

TEST_F(SmtpProxyTest, OverlongLinesAndIdleClientsAreClosed) {
  StartProxy(kProtocolSmtp, "", /*dialogueTimeoutMs=*/300);
  int fd = Client();
  ASSERT_TRUE(SendAll(fd, "EHLO " + std::string(2000, 'h')));
  EXPECT_EQ(ReadUntilClose(fd), kSmtpLineTooLong);
  close(fd);

  fd = ClientAtUserPrompt();
  EXPECT_TRUE(WaitForClose(fd)) << "a client that never sends its user name is closed";
  close(fd);

  MailTestServer mute({"220 ok\r\n"}, [](const std::string&) { return MailTestServer::Answer{}; });
  fd = ClientAtUserPrompt();
  ASSERT_TRUE(SendAll(fd, User("alice", mute)));
  EXPECT_EQ(ReadUntilClose(fd), "") << "a server that never answers EHLO is given up";
  close(fd);
}

TEST_F(SmtpProxyTest, MalformedInputNeverCrashesOrLeaks) {
  StartProxy(kProtocolSmtp);
  MailTestServer server({"220 ok\r\n"}, AuthServer());
  std::mt19937 rng(5);
  const std::string pieces[] = {
      "EHLO x\r\n",         "AUTH LOGIN",      " ",    "\r\n", "\n", "=", "*",
      std::string(1, '\0'), User("a", server), "QUIT", "YWxp"};
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
