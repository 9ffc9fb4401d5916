// The FTP proxy's own dialogue and the control relay, spoken line by line: exact replies,
// refusals, lines split over reads or joined in one, bounce attempts, data listeners that end.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "ftp_fixture.h"

namespace tw::test {
namespace {

// Lets what was sent so far reach the peer as a packet of its own before more follows, as a
// slow network would deliver it (the tests check lines split over reads).
void PacketGap() {
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

// A listener on 127.0.0.1 that runs `script` on its first connection, on a thread of its own.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::function<void(int)> script) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_fd_, 5);
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, script] {
      pollfd p{listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 20000) != 1) return;
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd == -1) return;
      timeval tv{10, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      script(fd);
      close(fd);
    });
  }
  ~ScriptedPeer() {
    shutdown(listen_fd_, SHUT_RDWR);
    thread_.join();
    close(listen_fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

constexpr char kGreeting[] = "220 welcome to Tarnwick Proxy Server\r\n";

class FtpDialogueTest : public FtpFixture {
 protected:
  std::string Dest() { return "127.0.0.1:" + std::to_string(server_->port()); }
};

TEST_F(FtpDialogueTest, CommandsBeforeAServerIsNamedGetUsualAnswers) {
  StartProxy();
  ControlClient c(static_cast<uint16_t>(proxy_->port()));
  ASSERT_EQ(c.Reply(), kGreeting);
  const std::pair<const char*, const char*> cases[] = {
      {"FEAT", "530 Please login with USER and PASS.\r\n"},
      {"AUTH TLS", "530 Please login with USER and PASS.\r\n"},
      {"syst", "530 Please login with USER and PASS.\r\n"},
      {"NOOP", "200 NOOP ok.\r\n"},
      {"PASS secret", "503 Login with USER first.\r\n"},
      {"USER anonymous@", "501 Missing host name after @.\r\n"},
      {"USER anonymous@   ", "501 Missing host name after @.\r\n"},
      {"SITE", "501 Missing host name after the command.\r\n"},
      {"open   ", "501 Missing host name after the command.\r\n"},
      {"USER anonymous@127.0.0.1:99999", "501 Invalid port number in host name.\r\n"},
      {"USER anonymous@127.0.0.1:", "501 Invalid port number in host name.\r\n"},
      {"", "500 Syntax error, command unrecognized.\r\n"},
  };
  for (const auto& [command, reply] : cases) {
    EXPECT_EQ(c.Command(command), reply) << "after " << command;
  }
  // The same commands joined in one packet are answered one by one, in order.
  std::string joined;
  for (const auto& [command, reply] : cases) joined += std::string(command) + "\r\n";
  ASSERT_TRUE(c.Send(joined));
  for (const auto& [command, reply] : cases) EXPECT_EQ(c.Reply(), reply) << "joined " << command;
  EXPECT_EQ(c.Command("QUIT"), "221 Goodbye.\r\n");
  EXPECT_TRUE(WaitForClose(c.fd()));
  EXPECT_TRUE(Logged().empty());
}

// Input the proxy refuses in its own dialogue, each answered while the client may go on:
// control characters in the name or destination, an over-long name, and destinations not
// reached (a name that does not resolve in time, a port nobody listens on); a line over the
// limit ends the dialogue. Only the two destinations tried are logged: nothing else got as far
// as a connect.
TEST_F(FtpDialogueTest, MalformedOrUnreachableDestinationsAreAnsweredAndTheDialogueGoesOn) {
  UseSilentDns();
  StartProxy();
  ControlClient c(static_cast<uint16_t>(proxy_->port()));
  ASSERT_EQ(c.Reply(), kGreeting);
  const std::pair<std::string, const char*> cases[] = {
      {"USER al\x01ice@127.0.0.1:2121", "501 Invalid user name.\r\n"},
      {"USER alice@127.0.0.1\x7f", "501 Invalid user name.\r\n"},
      {"SITE 127.0.0.\x1b"
       "1",
       "501 Invalid user name.\r\n"},
      {"USER " + std::string(300, 'u') + "@127.0.0.1", "501 Invalid user name.\r\n"},
      {"USER alice@nowhere.test", "530 destination not reachable.\r\n"},
      {"OPEN 127.0.0.1:1", "530 destination not reachable.\r\n"},
  };
  for (const auto& [command, reply] : cases) {
    EXPECT_EQ(c.Command(command), reply) << "after " << command.substr(0, 40);
  }
  EXPECT_EQ(c.Command("NOOP"), "200 NOOP ok.\r\n") << "the dialogue goes on";
  ASSERT_TRUE(c.Send(std::string(kFtpMaxLine, 'N')));
  EXPECT_EQ(c.Reply(), "500 Command line too long.\r\n");
  EXPECT_TRUE(WaitForClose(c.fd()));
  EXPECT_EQ(Logged(),
            (std::vector<std::string>{"FTP nowhere.test:127.0.0.1", "FTP 127.0.0.1:1:127.0.0.1"}));
}

TEST_F(FtpDialogueTest, LoginRequiredThenLowerCaseCommandsReachTheServer) {
  AddUser("bob", "s3cret", 1);
  StartServer();
  MakeFile(root_ + "/listed.txt", 10, 5);
  StartProxy(/*authMode=*/1);
  ControlClient c(static_cast<uint16_t>(proxy_->port()));
  ASSERT_EQ(c.Reply(), kGreeting);
  EXPECT_EQ(c.Command("USER anonymous@" + Dest()), "530 username or password incorrect.\r\n");
  EXPECT_EQ(c.Command("user bob"), "331 need password.\r\n");
  EXPECT_EQ(c.Command("pass wrong"), "530 username/password or ip/schedule incorrect.\r\n");
  EXPECT_EQ(c.Command("USER anonymous@" + Dest()), "530 username or password incorrect.\r\n");
  EXPECT_EQ(c.Command("user bob"), "331 need password.\r\n");
  EXPECT_EQ(c.Command("pass s3cret"), "230 Login OK. Proceed.\r\n");
  // The server's reply to USER is the first thing the client sees of it.
  EXPECT_EQ(c.Command("user anonymous@" + Dest()).substr(0, 4), "331 ");
  EXPECT_EQ(c.Command("pass guest@").substr(0, 4), "230 ");
  std::string address;
  std::string pasv = c.Command("pasv");
  uint16_t port = PassivePort(pasv, &address);
  EXPECT_EQ(address, "127.0.0.1") << pasv;
  EXPECT_GE(port, 6000) << pasv;
  EXPECT_LE(port, 6300) << pasv;
  int data = ConnectLoopback(port);
  ASSERT_NE(data, -1);
  EXPECT_EQ(c.Command("list").substr(0, 1), "1");
  EXPECT_NE(ReadUntilClose(data).find("listed.txt"), std::string::npos);
  close(data);
  EXPECT_EQ(c.Reply().substr(0, 4), "226 ");
  std::vector<std::string> logged = Logged();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "FTP " + Dest() + ":127.0.0.1,bob");
}

TEST_F(FtpDialogueTest, GuestRuleRefusesOtherClients) {
  StartServer();
  StartProxy(/*authMode=*/0, "10.0.0.1-10.0.0.9");
  ControlClient c(static_cast<uint16_t>(proxy_->port()));
  ASSERT_EQ(c.Reply(), kGreeting);
  EXPECT_EQ(c.Command("USER anonymous@" + Dest()), "530 ip not allowed.\r\n");
  EXPECT_EQ(c.Command("SITE " + Dest()), "530 ip not allowed.\r\n");
  EXPECT_TRUE(Logged().empty());
}

TEST_F(FtpDialogueTest, SiteAfterLoginRelaysTheServersOwnGreeting) {
  AddUser("bob", "s3cret", 1);
  StartServer();
  StartProxy(/*authMode=*/1);
  ControlClient c(static_cast<uint16_t>(proxy_->port()));
  ASSERT_EQ(c.Reply(), kGreeting);
  EXPECT_EQ(c.Command("USER bob"), "331 need password.\r\n");
  EXPECT_EQ(c.Command("PASS s3cret"), "230 Login OK. Proceed.\r\n");
  EXPECT_EQ(c.Command("SITE " + Dest()), "220 test server ready\r\n");
  EXPECT_EQ(c.Command("USER alice").substr(0, 4), "331 ");
  EXPECT_EQ(c.Command("PASS wonder").substr(0, 4), "230 ");
  EXPECT_EQ(c.Command("SITE HELP").substr(0, 3), "214") << "SITE now belongs to the server";
}

TEST_F(FtpDialogueTest, CommandsThatWouldBypassTheRewriteAreRefused) {
  StartServer();
  StartProxy();
  ControlClient c(static_cast<uint16_t>(proxy_->port()));
  ASSERT_EQ(c.Reply(), kGreeting);
  EXPECT_EQ(c.Command("USER alice@" + Dest()).substr(0, 4), "331 ");
  EXPECT_EQ(c.Command("PASS wonder").substr(0, 4), "230 ");
  const std::pair<const char*, const char*> cases[] = {
      {"EPSV", "502 Command not implemented, use PASV or PORT.\r\n"},
      {"epsv ALL", "502 Command not implemented, use PASV or PORT.\r\n"},
      {"EPRT |1|127.0.0.1|5000|", "502 Command not implemented, use PASV or PORT.\r\n"},
      {"LPSV", "502 Command not implemented, use PASV or PORT.\r\n"},
      {"AUTH TLS", "502 AUTH is not available through this proxy.\r\n"},
      {"PORT 10,0,0,9,0,25", "501 PORT must name your own address.\r\n"},
      {"port 127,0,0,2,19,137", "501 PORT must name your own address.\r\n"},
      {"PORT 127,0,0,1,19", "501 Syntax error in PORT parameters.\r\n"},
      {"PORT 127,0,0,1,300,1", "501 Syntax error in PORT parameters.\r\n"},
  };
  for (const auto& [command, reply] : cases) {
    EXPECT_EQ(c.Command(command), reply) << "after " << command;
  }
  EXPECT_EQ(c.Command("NOOP").substr(0, 4), "200 ") << "the relay goes on";
  std::vector<std::string> logged = Logged();
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_EQ(logged[1], "FTP PORT refused 10.0.0.9:25:127.0.0.1");
  EXPECT_EQ(logged[2], "FTP PORT refused 127.0.0.2:5001:127.0.0.1");
}

// A PORT command split over two reads and joined with the next command still is rewritten;
// the server's data connection reaches the client's port through the proxy.
TEST_F(FtpDialogueTest, SplitPortCommandJoinedWithNextLine) {
  StartServer();
  MakeFile(root_ + "/split.txt", 10, 6);
  StartProxy();
  ControlClient c(static_cast<uint16_t>(proxy_->port()));
  ASSERT_EQ(c.Reply(), kGreeting);
  EXPECT_EQ(c.Command("USER anonymous@" + Dest()).substr(0, 4), "331 ");
  EXPECT_EQ(c.Command("PASS x").substr(0, 4), "230 ");
  std::string listing;
  std::atomic<bool> listed{false};
  auto clientData = std::make_unique<ScriptedPeer>([&](int fd) {
    listing = ReadUntilClose(fd);
    listed = true;
  });
  uint16_t p = clientData->port();
  ASSERT_TRUE(c.Send("PO"));
  PacketGap();
  ASSERT_TRUE(c.Send("RT 127,0,0,1," + std::to_string(p / 256) + "," + std::to_string(p % 256) +
                     "\r\nNOOP\r\n"));
  EXPECT_EQ(c.Reply().substr(0, 4), "200 ") << "PORT";
  EXPECT_EQ(c.Reply().substr(0, 4), "200 ") << "NOOP";
  EXPECT_EQ(c.Command("NLST").substr(0, 1), "1");
  EXPECT_EQ(c.Reply().substr(0, 4), "226 ");
  c.Close();
  // The server's 226 can come before the proxy has passed the listing on: wait for it.
  EXPECT_TRUE(WaitUntil([&] { return listed.load(); }));
  clientData.reset();
  EXPECT_NE(listing.find("split.txt"), std::string::npos) << listing;
}

// A server whose greeting spans two packets and several lines, and whose passive reply is split
// and joined with the next reply and names another host: the client sees one rewritten reply,
// then the next, and its data connection reaches the server's own address.
TEST_F(FtpDialogueTest, ServerGreetingAndPassiveReplySplitAndJoined) {
  std::string seen;
  ScriptedPeer data([](int fd) { SendAll(fd, "hello data"); });
  ScriptedPeer fake([&](int fd) {
    SendAll(fd, "220-first line\r\n");
    PacketGap();
    SendAll(fd, "220 ready\r\n");
    seen += ReadLine(fd);
    SendAll(fd, "230 in\r\n");
    seen += ReadLine(fd);
    uint16_t p = data.port();
    SendAll(fd, "22");
    PacketGap();
    SendAll(fd, "7 Entering Passive Mode (10,9,9,9," + std::to_string(p / 256) + "," +
                    std::to_string(p % 256) + ").\r\n211 joined\r\n");
    ReadLine(fd);  // until the client leaves
  });
  StartProxy();
  ControlClient c(static_cast<uint16_t>(proxy_->port()));
  ASSERT_EQ(c.Reply(), kGreeting);
  EXPECT_EQ(c.Command("USER fake@127.0.0.1:" + std::to_string(fake.port())), "230 in\r\n");
  std::string address;
  std::string pasv = c.Command("PASV");
  uint16_t port = PassivePort(pasv, &address);
  ASSERT_NE(port, 0) << pasv;
  EXPECT_EQ(pasv.substr(0, 27), "227 Entering Passive Mode (");
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_EQ(c.Reply(), "211 joined\r\n");
  int fd = ConnectLoopback(port);
  ASSERT_NE(fd, -1);
  EXPECT_EQ(ReadUntilClose(fd), "hello data");
  close(fd);
  c.Close();
  EXPECT_EQ(seen, "USER fake\r\nPASV\r\n");
}

// The policy's refusal is a 530 the client may answer by naming another server: by default for
// any loopback server (USER host, SITE, OPEN alike); with local destinations allowed, for the
// proxy's own port, and for a passive reply whose data port is one of the proxy's listeners.
TEST_F(FtpDialogueTest, LocalAndOwnDestinationsAreRefusedWith530) {
  constexpr char kRefused[] = "530 destination not allowed.\r\n";
  ScriptedPeer unreached([](int) {});
  allow_local_destinations_ = false;
  StartProxy();
  std::string local = "127.0.0.1:" + std::to_string(unreached.port());
  {
    ControlClient c(static_cast<uint16_t>(proxy_->port()));
    ASSERT_EQ(c.Reply(), kGreeting);
    EXPECT_EQ(c.Command("USER anonymous@" + local), kRefused);
    EXPECT_EQ(c.Command("SITE localhost:" + std::to_string(unreached.port())), kRefused);
    EXPECT_EQ(c.Command("OPEN " + local), kRefused);
    EXPECT_EQ(c.Command("NOOP"), "200 NOOP ok.\r\n") << "the dialogue goes on";
  }
  std::vector<std::string> logged = Logged();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), "Refused destination " + local + ":127.0.0.1"),
            3)
      << testing::PrintToString(logged);
  ASSERT_TRUE(WaitUntil([this] { return proxy_->LiveContexts() == 0; }));
  proxy_->Stop();

  allow_local_destinations_ = true;
  StartProxy();
  std::string own = "localhost:" + std::to_string(proxy_->port());
  uint16_t ownPort = static_cast<uint16_t>(proxy_->port());
  ScriptedPeer fake([ownPort](int fd) {
    SendAll(fd, "220 ready\r\n");
    ReadLine(fd);
    SendAll(fd, "230 in\r\n");
    ReadLine(fd);
    SendAll(fd, "227 Entering Passive Mode (127,0,0,1," + std::to_string(ownPort / 256) + "," +
                    std::to_string(ownPort % 256) + ")\r\n");
    ReadLine(fd);  // until the client leaves
  });
  ControlClient c(ownPort);
  ASSERT_EQ(c.Reply(), kGreeting);
  EXPECT_EQ(c.Command("USER anonymous@" + own), kRefused);
  EXPECT_EQ(c.Command("USER fake@127.0.0.1:" + std::to_string(fake.port())), "230 in\r\n");
  EXPECT_EQ(c.Command("PASV"), kRefused) << "the server's data port is the proxy's own";
  c.Close();
}

// A passive data listener admits the control client only: a connection from another address
// is closed at once and logged, and the client's own connection still works afterwards.
TEST_F(FtpDialogueTest, PassiveListenerRefusesOtherAddresses) {
  StartServer();
  MakeFile(root_ + "/file.txt", 10, 7);
  StartProxy();
  ControlClient c(static_cast<uint16_t>(proxy_->port()));
  ASSERT_EQ(c.Reply(), kGreeting);
  EXPECT_EQ(c.Command("USER anonymous@" + Dest()).substr(0, 4), "331 ");
  EXPECT_EQ(c.Command("PASS x").substr(0, 4), "230 ");
  uint16_t port = PassivePort(c.Command("PASV"));
  ASSERT_NE(port, 0);
  int intruder = ConnectFrom("127.0.0.2", port);
  ASSERT_NE(intruder, -1);
  EXPECT_TRUE(WaitForClose(intruder));
  close(intruder);
  int data = ConnectLoopback(port);
  ASSERT_NE(data, -1);
  EXPECT_EQ(c.Command("NLST").substr(0, 1), "1");
  EXPECT_NE(ReadUntilClose(data).find("file.txt"), std::string::npos);
  close(data);
  EXPECT_EQ(c.Reply().substr(0, 4), "226 ");
  std::vector<std::string> logged = Logged();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[1], "FTP data connection refused:127.0.0.2");
}

// An upload slowed by the guest limit lasts several idle limits; the control connection,
// silent until the server has all the bytes, stays open while its data channel moves them and
// brings the final reply.
TEST_F(FtpDialogueTest, ControlConnectionOutlivesTheIdleLimitWhileDataMoves) {
  StartServer();
  std::string up = MakeFile(work_ + "/up.bin", 48 * 1024, 3);
  NewProxy(kProtocolFtp).ftp.dataPortRangeOn = true;
  settings_.idleTimeoutMs = 1000;
  settings_.uploadRate = 16 * 1024;
  ASSERT_TRUE(proxy_->Start(settings_));
  ControlClient c(static_cast<uint16_t>(proxy_->port()));
  ASSERT_EQ(c.Reply(), kGreeting);
  EXPECT_EQ(c.Command("USER alice@" + Dest()).substr(0, 4), "331 ");
  EXPECT_EQ(c.Command("PASS wonder").substr(0, 4), "230 ");
  EXPECT_EQ(c.Command("TYPE I").substr(0, 4), "200 ");
  uint16_t port = PassivePort(c.Command("PASV"));
  ASSERT_NE(port, 0);
  int data = ConnectLoopback(port);
  ASSERT_NE(data, -1);
  EXPECT_EQ(c.Command("STOR slow.bin").substr(0, 1), "1");
  ASSERT_TRUE(SendAll(data, up));
  close(data);
  EXPECT_EQ(c.Reply().substr(0, 4), "226 ") << "the control connection was closed as idle";
  EXPECT_TRUE(ReadFile(root_ + "/slow.bin") == up) << "uploaded bytes differ";
}

// Listeners nobody uses do not outlive their control connection, and a newer PASV replaces
// the older listener of the same connection.
TEST_F(FtpDialogueTest, DataListenersEndWithTheirControlConnection) {
  StartServer();
  StartProxy();
  ControlClient c(static_cast<uint16_t>(proxy_->port()));
  ASSERT_EQ(c.Reply(), kGreeting);
  EXPECT_EQ(c.Command("USER anonymous@" + Dest()).substr(0, 4), "331 ");
  EXPECT_EQ(c.Command("PASS x").substr(0, 4), "230 ");
  uint16_t first = PassivePort(c.Command("PASV"));
  uint16_t second = PassivePort(c.Command("PASV"));
  ASSERT_NE(first, 0);
  ASSERT_NE(second, 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(Listeners(), 1u) << "the older listener is closed";
  c.Close();
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Listeners() != 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Listeners(), 0u);
}

// A client outside the machine's networks is announced the public address from the echo
// server; without an echo server, the address its control connection reached.
TEST_F(FtpDialogueTest, PassiveReplyAnnouncesThePublicAddress) {
  StartServer();
  MakeFile(root_ + "/far.txt", 10, 8);
  std::string request;
  auto echo = std::make_unique<ScriptedPeer>([&](int fd) {
    std::string r;
    while (r.find("\r\n\r\n") == std::string::npos) {
      std::string line = ReadLine(fd);
      if (line.empty()) break;
      r += line;
    }
    request = r;
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nYour IP: 127.3.3.3\n");
  });
  NewProxy(kProtocolFtp);
  settings_.ftp.dataPortRangeOn = true;
  settings_.ftp.addressEchoHost = "127.0.0.1:" + std::to_string(echo->port());
  ASSERT_TRUE(proxy_->Start(settings_));
  ControlClient c(static_cast<uint16_t>(proxy_->port()), "127.1.0.2");
  ASSERT_EQ(c.Reply(), kGreeting);
  EXPECT_EQ(c.Command("USER anonymous@" + Dest()).substr(0, 4), "331 ");
  EXPECT_EQ(c.Command("PASS x").substr(0, 4), "230 ");
  std::string address;
  uint16_t port = PassivePort(c.Command("PASV"), &address);
  EXPECT_EQ(address, "127.3.3.3");
  EXPECT_EQ(request.substr(0, 24), "GET /myip.php HTTP/1.0\r\n");
  int data = ConnectFrom("127.1.0.2", port);
  ASSERT_NE(data, -1);
  EXPECT_EQ(c.Command("NLST").substr(0, 1), "1");
  EXPECT_NE(ReadUntilClose(data).find("far.txt"), std::string::npos);
  close(data);
  EXPECT_EQ(c.Reply().substr(0, 4), "226 ");
  // The echo server is gone now: the lookup fails and the control address is announced.
  echo.reset();
  PassivePort(c.Command("PASV"), &address);
  EXPECT_EQ(address, "127.0.0.1");
}

}  // namespace
}  // namespace tw::test
