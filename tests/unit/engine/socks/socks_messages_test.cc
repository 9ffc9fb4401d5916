#include "engine/socks/socks_messages.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tw {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> b) {
  std::vector<uint8_t> v;
  for (int x : b) v.push_back(static_cast<uint8_t>(x));
  return v;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::string& s) {
  a.insert(a.end(), s.begin(), s.end());
  return a;
}

TEST(SocksMessages, Socks4EveryPrefixNeedsMoreAndTheWholeCompletes) {
  std::vector<uint8_t> m =
      Cat(Bytes({4, 1, 0x01, 0xBB, 0, 0, 0, 1}), std::string("user\0host.example\0tail", 23));
  Socks4Request req;
  size_t consumed = 0;
  for (size_t n = 0; n < 23; ++n) {
    Socks4Request partial;
    EXPECT_EQ(ParseSocks4(m.data(), n, &partial, &consumed), SocksParse::kNeedMore) << n;
  }
  ASSERT_EQ(ParseSocks4(m.data(), m.size(), &req, &consumed), SocksParse::kComplete);
  EXPECT_TRUE(req.is4a);
  EXPECT_EQ(req.port, 443);
  EXPECT_EQ(req.host, "host.example");
  EXPECT_EQ(consumed, 26u) << "the bytes after the host's zero are left for the relay";
}

TEST(SocksMessages, Socks4AddressZeroIsPlainSocks4AndEmptyNameIsInvalid) {
  std::vector<uint8_t> plain = Cat(Bytes({4, 1, 0, 80, 0, 0, 0, 0}), std::string("\0", 1));
  Socks4Request req;
  size_t consumed = 0;
  ASSERT_EQ(ParseSocks4(plain.data(), plain.size(), &req, &consumed), SocksParse::kComplete);
  EXPECT_FALSE(req.is4a);
  EXPECT_EQ(consumed, 9u);
  std::vector<uint8_t> empty = Cat(Bytes({4, 1, 0, 80, 0, 0, 0, 9}), std::string("u\0\0", 3));
  EXPECT_EQ(ParseSocks4(empty.data(), empty.size(), &req, &consumed), SocksParse::kInvalid);
  std::vector<uint8_t> endless(kSocksMaxMessage, 'a');
  endless[0] = 4;
  EXPECT_EQ(ParseSocks4(endless.data(), endless.size(), &req, &consumed), SocksParse::kInvalid)
      << "a user id without end can never become valid";
}

TEST(SocksMessages, MethodChoicePrefersLoginThenNone) {
  struct Case {
    std::vector<uint8_t> msg;
    uint8_t choice;
  } cases[] = {{Bytes({5, 2, 0, 2}), 2},
               {Bytes({5, 1, 0}), 0},
               {Bytes({5, 1, 1}), 255},
               {Bytes({5, 0}), 255},
               {Bytes({5, 3, 9, 2, 0}), 2}};
  for (const Case& k : cases) {
    uint8_t choice = 77;
    size_t consumed = 0;
    ASSERT_EQ(ParseSocks5Methods(k.msg.data(), k.msg.size(), &choice, &consumed),
              SocksParse::kComplete);
    EXPECT_EQ(choice, k.choice);
    EXPECT_EQ(consumed, k.msg.size());
  }
  std::vector<uint8_t> short_list = Bytes({5, 3, 0});
  uint8_t choice;
  size_t consumed;
  EXPECT_EQ(ParseSocks5Methods(short_list.data(), short_list.size(), &choice, &consumed),
            SocksParse::kNeedMore);
}

TEST(SocksMessages, LoginLengthsAreCheckedAgainstWhatArrived) {
  std::vector<uint8_t> m = Cat(Bytes({1, 3}), "bob");
  m.push_back(6);
  m = Cat(m, "secret");
  std::string user, password;
  size_t consumed = 0;
  for (size_t n = 0; n < m.size(); ++n) {
    EXPECT_EQ(ParseSocks5Login(m.data(), n, &user, &password, &consumed), SocksParse::kNeedMore)
        << n;
  }
  ASSERT_EQ(ParseSocks5Login(m.data(), m.size(), &user, &password, &consumed),
            SocksParse::kComplete);
  EXPECT_EQ(user, "bob");
  EXPECT_EQ(password, "secret");
  std::vector<uint8_t> empty = Bytes({1, 0, 0});
  ASSERT_EQ(ParseSocks5Login(empty.data(), empty.size(), &user, &password, &consumed),
            SocksParse::kComplete);
  EXPECT_EQ(user, "");
}

TEST(SocksMessages, RequestAddressTypes) {
  Socks5Request req;
  size_t consumed = 0;
  std::vector<uint8_t> v4 = Bytes({5, 1, 0, 1, 10, 0, 0, 7, 0x1F, 0x90, 'x'});
  ASSERT_EQ(ParseSocks5Request(v4.data(), v4.size(), &req, &consumed), SocksParse::kComplete);
  EXPECT_EQ(req.port, 8080);
  EXPECT_EQ(consumed, 10u);
  std::vector<uint8_t> name = Cat(Bytes({5, 1, 0, 3, 11}), "example.org");
  name.push_back(0x01);
  EXPECT_EQ(ParseSocks5Request(name.data(), name.size(), &req, &consumed), SocksParse::kNeedMore);
  name.push_back(0xBB);
  ASSERT_EQ(ParseSocks5Request(name.data(), name.size(), &req, &consumed), SocksParse::kComplete);
  EXPECT_EQ(req.host, "example.org");
  EXPECT_EQ(req.port, 443);
  std::vector<uint8_t> v6 = Bytes({5, 1, 0, 4});
  ASSERT_EQ(ParseSocks5Request(v6.data(), v6.size(), &req, &consumed), SocksParse::kComplete);
  EXPECT_EQ(req.addressType, 4);
  std::vector<uint8_t> zero_len = Bytes({5, 1, 0, 3, 0, 0, 80});
  EXPECT_EQ(ParseSocks5Request(zero_len.data(), zero_len.size(), &req, &consumed),
            SocksParse::kInvalid);
  std::vector<uint8_t> nul_in_name = Bytes({5, 1, 0, 3, 3, 'a', 0, 'b', 0, 80});
  EXPECT_EQ(ParseSocks5Request(nul_in_name.data(), nul_in_name.size(), &req, &consumed),
            SocksParse::kInvalid);
}

// A SOCKS 5 message with another version byte was once answered as if it were one.
TEST(SocksMessages, WrongVersionBytesAreInvalidAtOnce) {
  uint8_t choice = 0;
  std::string user, password;
  Socks5Request req;
  size_t consumed = 0;
  for (int version : {0, 1, 4, 6, 255}) {
    auto greeting = Bytes({version, 1, 0});
    EXPECT_EQ(ParseSocks5Methods(greeting.data(), 1, &choice, &consumed), SocksParse::kInvalid);
    EXPECT_EQ(ParseSocks5Methods(greeting.data(), 3, &choice, &consumed), SocksParse::kInvalid);
    auto request = Bytes({version, 1, 0, 1, 127, 0, 0, 1, 0, 80});
    EXPECT_EQ(ParseSocks5Request(request.data(), request.size(), &req, &consumed),
              SocksParse::kInvalid);
  }
  for (int version : {0, 2, 5}) {
    auto login = Bytes({version, 1, 'u', 1, 'p'});
    EXPECT_EQ(ParseSocks5Login(login.data(), login.size(), &user, &password, &consumed),
              SocksParse::kInvalid);
  }
}

TEST(SocksMessages, RepliesCarryTheProxyAddressAndPort) {
  uint32_t address = inet_addr("192.168.1.1");
  uint8_t r5[10], r4[8];
  Socks5Succeeded(r5, address, 1080);
  EXPECT_EQ(std::vector<uint8_t>(r5, r5 + 10),
            Bytes({0x05, 0, 0, 1, 0xC0, 0xA8, 1, 1, 0x04, 0x38}));
  Socks4Granted(r4, address, 1080);
  EXPECT_EQ(std::vector<uint8_t>(r4, r4 + 8), Bytes({0, 0x5A, 0x04, 0x38, 0xC0, 0xA8, 1, 1}));
  Socks4Rejected(r4);
  EXPECT_EQ(std::vector<uint8_t>(r4, r4 + 8), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
  Socks5CommandNotSupported(r5);
  EXPECT_EQ(std::vector<uint8_t>(r5, r5 + 10), Bytes({5, 7, 0, 0, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace tw
