// The caps on client connections, spoken to as clients would: a client address over its cap
// is refused with the protocol's words while a client from another address goes on working,
// a slot freed is taken again, and the refusals write one line each.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "proxy_fixture.h"

namespace tw::test {
namespace {

// A TCP connection to the proxy from the loopback address `source` (127.0.0.0/8 is all local).
int ConnectFrom(const char* source, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == -1 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == -1) {
    close(fd);
    return -1;
  }
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

uint32_t Address(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

struct CapCase {
  int32_t protocol;
  const char* greetingPrefix;  // what an admitted client reads first; "" when it speaks first
  const char* busy;            // what a refused client reads before the close
};

class ConnectionCapsTest : public ProxyFixture {
 protected:
  ConnectionCapsTest() { allow_local_destinations_ = false; }

  // A client admitted and served: it reads the greeting, or (HTTP, SOCKS) gets an answer of
  // the handler itself to its first message.
  void ExpectServed(int fd, const CapCase& c) {
    ASSERT_NE(fd, -1);
    if (*c.greetingPrefix != '\0') {
      EXPECT_EQ(ReadLine(fd).rfind(c.greetingPrefix, 0), 0u) << "protocol " << c.protocol;
    } else if (c.protocol == kProtocolSocks) {
      ASSERT_TRUE(SendAll(fd, std::string("\x05\x01\x00", 3)));
      EXPECT_EQ(ReadExactly(fd, 2), std::string("\x05\x00", 2));
    } else {
      // Local destinations are refused here, with a reply of the proxy's own.
      ASSERT_TRUE(SendAll(fd, "GET http://127.0.0.1:9/ HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n"));
      std::string reply = ReadUntilClose(fd);
      EXPECT_EQ(reply.rfind("HTTP/1.0 403 Forbidden\r\n", 0), 0u) << reply;
    }
  }
};

TEST_F(ConnectionCapsTest, ClientOverItsCapIsRefusedWhileAnotherClientWorks) {
  const CapCase cases[] = {
      {kProtocolPop3, "+OK", "-ERR Too many connections, try again later.\r\n"},
      {kProtocolSmtp, "220", "421 Too many connections, try again later.\r\n"},
      {kProtocolFtp, "220", "421 Too many connections, try again later.\r\n"},
      {kProtocolHttp, "", "HTTP/1.0 503 Service Unavailable\r\n"},
      {kProtocolSocks, "", ""},
  };
  const uint32_t crowded = Address("127.0.0.1");
  for (const CapCase& c : cases) {
    SCOPED_TRACE(c.protocol);
    NewProxy(c.protocol).maxConnectionsPerClient = 2;
    ASSERT_TRUE(proxy_->Start(settings_));
    int first = ConnectFrom("127.0.0.1", proxy_->port());
    int second = ConnectFrom("127.0.0.1", proxy_->port());
    ASSERT_TRUE(WaitUntil([&] { return proxy_->ConnectionsFrom(crowded) == 2; }));

    for (int round = 0; round < 2; ++round) {
      int over = ConnectFrom("127.0.0.1", proxy_->port());
      ASSERT_NE(over, -1);
      std::string refusal = ReadUntilClose(over);
      EXPECT_EQ(refusal.substr(0, std::string(c.busy).size()), c.busy);
      close(over);
    }
    int other = ConnectFrom("127.0.0.2", proxy_->port());
    ExpectServed(other, c);
    close(other);

    // A slot given back is taken by the next client of the crowded address.
    close(first);
    ASSERT_TRUE(WaitUntil([&] { return proxy_->ConnectionsFrom(crowded) == 1; }));
    int again = ConnectFrom("127.0.0.1", proxy_->port());
    ExpectServed(again, c);
    close(again);
    close(second);

    std::vector<std::string> logged = Logged();
    EXPECT_EQ(std::count(logged.begin(), logged.end(),
                         "Connection refused: too many connections from this address:127.0.0.1"),
              2)
        << testing::PrintToString(logged);
    ASSERT_TRUE(WaitUntil([this] { return proxy_->LiveContexts() == 0; }));
    EXPECT_EQ(proxy_->ConnectionsFrom(crowded), 0);
    proxy_->Stop();
    logged_.clear();
  }
}

TEST_F(ConnectionCapsTest, TotalCapRefusesEveryAddressAndZeroLiftsThePerClientCap) {
  NewProxy(kProtocolPop3).maxConnectionsPerClient = 0;
  settings_.maxConnections = 3;
  ASSERT_TRUE(proxy_->Start(settings_));
  const CapCase pop3{kProtocolPop3, "+OK", ""};
  std::vector<int> open;
  for (int i = 0; i < 3; ++i) {  // three from one address: no cap per client
    open.push_back(ConnectFrom("127.0.0.1", proxy_->port()));
    ExpectServed(open.back(), pop3);
  }
  int over = ConnectFrom("127.0.0.2", proxy_->port());
  EXPECT_EQ(ReadUntilClose(over), "-ERR Too many connections, try again later.\r\n");
  close(over);
  for (int fd : open) close(fd);
  ASSERT_TRUE(WaitUntil([this] { return proxy_->LiveContexts() == 0; }));
  EXPECT_EQ(ProcessClientConnections().load(), 0);
  std::vector<std::string> logged = Logged();
  EXPECT_NE(std::find(logged.begin(), logged.end(),
                      "Connection refused: too many connections:127.0.0.2"),
            logged.end())
      << testing::PrintToString(logged);
}

}  // namespace
}  // namespace tw::test
