#include "engine/ftp/ftp_messages.h"

#include <gtest/gtest.h>

#include "engine/ftp/ftp_public_address.h"
#include "engine/policy/local_addresses.h"
#include "platform/address_text.h"

namespace tw {
namespace {

TEST(FtpMessagesTest, CommandLinesSplitIntoUpperCaseVerbAndTrimmedArgument) {
  const struct {
    const char* line;
    const char* verb;
    const char* argument;
  } cases[] = {
      {"USER anonymous@10.0.0.5\r\n", "USER", "anonymous@10.0.0.5"},
      {"user  bob  \r\n", "USER", "bob"},
      {"pass\r\n", "PASS", ""},
      {"  site 10.0.0.5:2121\n", "SITE", "10.0.0.5:2121"},
      {"\r\n", "", ""},
      {"OPEN\thost", "OPEN", "host"},
  };
  for (const auto& c : cases) {
    FtpCommand parsed = ParseFtpCommand(c.line);
    EXPECT_EQ(parsed.verb, c.verb) << c.line;
    EXPECT_EQ(parsed.argument, c.argument) << c.line;
  }
}

TEST(FtpMessagesTest, LineEndIsFoundOnlyWhenWhole) {
  EXPECT_EQ(FtpLineEnd("USER a\r\nPASS", 12), 8u);
  EXPECT_EQ(FtpLineEnd("USER a\r", 7), 0u);
  EXPECT_EQ(FtpLineEnd("a\nb", 3), 2u);
}

TEST(FtpMessagesTest, UserNameAndDestinationSplitAtTheLastAt) {
  std::string user, destination;
  ASSERT_TRUE(SplitUserAtHost("anonymous@10.0.0.5", &user, &destination));
  EXPECT_EQ(user, "anonymous");
  EXPECT_EQ(destination, "10.0.0.5");
  ASSERT_TRUE(SplitUserAtHost("me@example.org@ftp.example.org:2121", &user, &destination));
  EXPECT_EQ(user, "me@example.org") << "a user name may hold an @, a host never";
  EXPECT_EQ(destination, "ftp.example.org:2121");
  ASSERT_TRUE(SplitUserAtHost("bob@", &user, &destination));
  EXPECT_EQ(destination, "");
  EXPECT_FALSE(SplitUserAtHost("bob", &user, &destination));
}

TEST(FtpMessagesTest, DestinationsTakeTheirPortAfterTheLastColon) {
  const struct {
    const char* text;
    FtpDestinationParse result;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"10.0.0.5", FtpDestinationParse::kOk, "10.0.0.5", 21},
      {"10.0.0.5:2121", FtpDestinationParse::kOk, "10.0.0.5", 2121},
      {"ftp.example.org:65535", FtpDestinationParse::kOk, "ftp.example.org", 65535},
      {":2121", FtpDestinationParse::kOk, ":2121", 21},  // a leading ":" is no separator
      {"a:b:21", FtpDestinationParse::kOk, "a:b", 21},
      {"", FtpDestinationParse::kEmpty, "", 0},
      {"   ", FtpDestinationParse::kEmpty, "", 0},
      {"host:", FtpDestinationParse::kBadPort, "", 0},
      {"host:0", FtpDestinationParse::kBadPort, "", 0},
      {"host:65536", FtpDestinationParse::kBadPort, "", 0},
      {"host:21x", FtpDestinationParse::kBadPort, "", 0},
      {"host:-21", FtpDestinationParse::kBadPort, "", 0},
      {"host:000021", FtpDestinationParse::kBadPort, "", 0},
  };
  for (const auto& c : cases) {
    std::string host;
    uint16_t port = 0;
    ASSERT_EQ(ParseFtpDestination(c.text, &host, &port), c.result) << c.text;
    if (c.result != FtpDestinationParse::kOk) continue;
    EXPECT_EQ(host, c.host) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
}

TEST(FtpMessagesTest, PassiveRepliesAndPortCommandsParseStrictly) {
  const struct {
    const char* line;
    bool passive;
    bool ok;
    const char* address;
    uint16_t port;
  } cases[] = {
      {"227 Entering Passive Mode (10,1,2,3,19,137)\r\n", true, true, "10.1.2.3", 5001},
      {"227 Entering passive mode (127,0,0,1,23,112).\r\n", true, true, "127.0.0.1", 6000},
      {"227 Entering Passive Mode 10,1,2,3,19,137.\r\n", true, true, "10.1.2.3", 5001},
      {"227 =10,1,2,3,19,137\r\n", true, true, "10.1.2.3", 5001},
      {"227 Entering Passive Mode (10,1,2,3,19)\r\n", true, false, "", 0},
      {"227 Entering Passive Mode (10,1,2,3,19,137,1)\r\n", true, false, "", 0},
      {"227 Entering Passive Mode (10,1,2,256,19,137)\r\n", true, false, "", 0},
      {"227 Entering Passive Mode (10,1,2,3,19,137\r\n", true, false, "", 0},
      {"227 Entering Passive Mode ()\r\n", true, false, "", 0},
      {"228 Entering Long Passive Mode (4,4,1,2,3,4,2,19,137)\r\n", true, false, "", 0},
      {"PORT 192,168,1,20,4,1\r\n", false, true, "192.168.1.20", 1025},
      {"port 192,168,1,20,4,1\r\n", false, true, "192.168.1.20", 1025},
      {"PORT  192, 168, 1, 20, 4, 1 \r\n", false, true, "192.168.1.20", 1025},
      {"PORT 192,168,1,20,4\r\n", false, false, "", 0},
      {"PORT 192,168,1,20,4,a\r\n", false, false, "", 0},
      {"PORT 192,168,1,20,4,1,\r\n", false, false, "", 0},
      {"PORT -1,168,1,20,4,1\r\n", false, false, "", 0},
      {"PORTX 192,168,1,20,4,1\r\n", false, false, "", 0},
  };
  for (const auto& c : cases) {
    uint32_t address = 0;
    uint16_t port = 0;
    bool ok = c.passive ? ParsePassiveReply(c.line, &address, &port)
                        : ParsePortCommand(c.line, &address, &port);
    ASSERT_EQ(ok, c.ok) << c.line;
    if (!ok) continue;
    EXPECT_EQ(AddressText(address), c.address) << c.line;
    EXPECT_EQ(port, c.port) << c.line;
  }
}

// The documented example: a server's passive reply for data port 5001, a client at
// 192.168.1.20, a machine address 192.168.1.1 and the first port of the range bound.
TEST(FtpMessagesTest, PassiveReplyRewriteAnnouncesTheAddressOnTheClientsNetwork) {
  LocalAddressList machine([] { return std::vector<std::string>{"10.7.0.1", "192.168.1.1"}; });
  uint32_t address = 0;
  uint16_t port = 0;
  ASSERT_TRUE(
      ParsePassiveReply("227 Entering Passive Mode (10,1,2,3,19,137)\r\n", &address, &port));
  EXPECT_EQ(AddressText(address), "10.1.2.3");
  EXPECT_EQ(port, 5001);
  std::string announced = LocalAddressForClient(machine, "192.168.1.20");
  EXPECT_EQ(FormatPassiveReply(announced, 6000),
            "227 Entering Passive Mode (192,168,1,1,23,112)\r\n");
  EXPECT_EQ(FormatPortCommand("10.7.0.1", 65535), "PORT 10,7,0,1,255,255\r\n");
  EXPECT_EQ(FormatPassiveReply("", 6000), "") << "no address, no reply to announce";
  EXPECT_EQ(FormatPortCommand(" 1.2.3.4", 1), "");
}

TEST(FtpMessagesTest, LinesThatNeedTheProxyAreToldFromOrdinaryOnes) {
  const struct {
    const char* line;
    bool fromServer;
    FtpLineKind kind;
  } cases[] = {
      {"227 Entering Passive Mode (1,2,3,4,5,6)\r\n", true, FtpLineKind::kPassiveReply},
      {"226 Transfer complete.\r\n", true, FtpLineKind::kOrdinary},
      {"227-not final\r\n", true, FtpLineKind::kOrdinary},
      {"PORT 1,2,3,4,5,6\r\n", true, FtpLineKind::kOrdinary},
      {"PORT 1,2,3,4,5,6\r\n", false, FtpLineKind::kPortCommand},
      {"port 1,2,3,4,5,6\r\n", false, FtpLineKind::kPortCommand},
      {"PASV\r\n", false, FtpLineKind::kOrdinary},
      {"EPSV\r\n", false, FtpLineKind::kRefused},
      {"eprt |1|1.2.3.4|5|\r\n", false, FtpLineKind::kRefused},
      {"LPRT 4,4,1,2,3,4,2,0,21\r\n", false, FtpLineKind::kRefused},
      {"AUTH TLS\r\n", false, FtpLineKind::kRefused},
      {"EPSVX\r\n", false, FtpLineKind::kOrdinary},
      {"RETR PORT 1,2\r\n", false, FtpLineKind::kOrdinary},
      // Blanks before the verb once let a PORT or EPRT pass on unrewritten.
      {"  PORT 1,2,3,4,5,6\r\n", false, FtpLineKind::kPortCommand},
      {"\tEPRT |1|1.2.3.4|5|\r\n", false, FtpLineKind::kRefused},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClassifyFtpLine(c.line, c.fromServer), c.kind) << c.line;
  }
}

TEST(FtpMessagesTest, UnfinishedLinesAreHeldOnlyWhileTheyMayNeedTheProxy) {
  const struct {
    const char* start;
    bool fromServer;
    bool held;
  } cases[] = {
      {"2", true, true},         {"22", true, true},         {"227", true, true},
      {"227 Enter", true, true}, {"226 Trans", true, false}, {"3", true, false},
      {"P", false, true},        {"po", false, true},        {"PORT 1,2", false, true},
      {"E", false, true},        {"EPS", false, true},       {"PA", false, false},
      {"PASV", false, false},    {"RETR big", false, false}, {"PORTS x", false, false},
      {"AUT", false, true},      {"STOR f", false, false},   {" ", false, true},
      {"  PO", false, true},     {" PASV", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FtpLineMayNeedRewrite(c.start, c.fromServer), c.held)
        << "\"" << c.start << "\" from " << (c.fromServer ? "server" : "client");
  }
}

TEST(FtpMessagesTest, EchoedAddressMustBeADottedAddress) {
  std::string address;
  EXPECT_TRUE(ParseEchoedAddress("Your IP:203.0.113.7\n", &address));
  EXPECT_EQ(address, "203.0.113.7");
  EXPECT_TRUE(ParseEchoedAddress("Your IP: 203.0.113.8 \r\n\r\n", &address));
  EXPECT_EQ(address, "203.0.113.8");
  EXPECT_FALSE(ParseEchoedAddress("your ip: 203.0.113.7", &address));
  EXPECT_FALSE(ParseEchoedAddress("Your IP: <b>203.0.113.7</b>", &address));
  EXPECT_FALSE(ParseEchoedAddress("Your IP:", &address));
  EXPECT_EQ(AddressFromEchoResponse("HTTP/1.0 200 OK\r\nX: y\r\n\r\nYour IP: 198.51.100.2\n"),
            "198.51.100.2");
  EXPECT_EQ(AddressFromEchoResponse("HTTP/1.0 200 OK\r\nYour IP: 198.51.100.2\n"), "")
      << "headers are not the body";
}

TEST(FtpMessagesTest, EchoServerSettingNamesHostAndPort) {
  std::string host;
  uint16_t port = 0;
  ASSERT_TRUE(ParseEchoServer("echo.example.org", &host, &port));
  EXPECT_EQ(host, "echo.example.org");
  EXPECT_EQ(port, 80);
  ASSERT_TRUE(ParseEchoServer("127.0.0.1:8080", &host, &port));
  EXPECT_EQ(port, 8080);
  EXPECT_FALSE(ParseEchoServer("", &host, &port));
  EXPECT_FALSE(ParseEchoServer("host:http", &host, &port));
  EXPECT_EQ(EchoRequest("echo.example.org")
                .rfind("GET /myip.php HTTP/1.0\r\nHost: echo.example.org\r\n", 0),
            0u);
}

}  // namespace
}  // namespace tw
