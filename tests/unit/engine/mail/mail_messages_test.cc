#include "engine/mail/mail_messages.h"

#include <gtest/gtest.h>

#include <string>

namespace tw {
namespace {

TEST(MailMessages, LinesEndWithCrLfOrLfAndWaitForTheirEnd) {
  std::string_view line;
  size_t consumed = 0;
  EXPECT_EQ(NextLine("USER a#b", &line, &consumed), LineScan::kNeedMore);
  EXPECT_EQ(NextLine("USER a#b\r", &line, &consumed), LineScan::kNeedMore)
      << "a CR alone does not end a line";
  ASSERT_EQ(NextLine("USER a#b\r\nPASS x\r\n", &line, &consumed), LineScan::kComplete);
  EXPECT_EQ(line, "USER a#b");
  EXPECT_EQ(consumed, 10u) << "what follows the line is left for later";
  ASSERT_EQ(NextLine("CAPA\nrest", &line, &consumed), LineScan::kComplete);
  EXPECT_EQ(line, "CAPA");
  EXPECT_EQ(consumed, 5u);
  ASSERT_EQ(NextLine("\r\n", &line, &consumed), LineScan::kComplete);
  EXPECT_EQ(line, "");
}

TEST(MailMessages, LineLimitIsExact) {
  std::string_view line;
  size_t consumed = 0;
  std::string longest(kMailMaxLine - 2, 'a');
  ASSERT_EQ(NextLine(longest + "\r\n", &line, &consumed), LineScan::kComplete);
  EXPECT_EQ(consumed, kMailMaxLine);
  EXPECT_EQ(NextLine(std::string(kMailMaxLine - 1, 'a'), &line, &consumed), LineScan::kNeedMore);
  EXPECT_EQ(NextLine(std::string(kMailMaxLine, 'a'), &line, &consumed), LineScan::kTooLong);
  EXPECT_EQ(NextLine(std::string(kMailMaxLine, 'a') + "\n", &line, &consumed), LineScan::kTooLong)
      << "a line end that comes too late does not make the line acceptable";
}

TEST(MailMessages, CommandSplitsAtTheFirstBlank) {
  struct Case {
    std::string_view line, verb, argument;
  } cases[] = {
      {"USER alice#host", "USER", "alice#host"},
      {"user  two", "user", " two"},
      {"AUTH LOGIN dXNlcg==  ", "AUTH", "LOGIN dXNlcg=="},
      {"CAPA", "CAPA", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    MailCommand m = SplitCommand(c.line);
    EXPECT_EQ(m.verb, c.verb) << c.line;
    EXPECT_EQ(m.argument, c.argument) << c.line;
  }
}

TEST(MailMessages, TargetNamesAccountHostAndPort) {
  struct Case {
    std::string user;
    TargetParse result;
    std::string account = {}, server = {}, host = {};
    uint16_t port = 0;
  } cases[] = {
      {"alice#10.0.0.7", TargetParse::kOk, "alice", "10.0.0.7", "10.0.0.7", 110},
      {"alice#10.0.0.7:1110", TargetParse::kOk, "alice", "10.0.0.7:1110", "10.0.0.7", 1110},
      {"alice#mail.example:65535", TargetParse::kOk, "alice", "mail.example:65535", "mail.example",
       65535},
      {"a#b#host", TargetParse::kOk, "a", "b#host", "b#host", 110},
      {"a#h:x:25", TargetParse::kOk, "a", "h:x:25", "h:x", 25},
      {"a@x.org#host", TargetParse::kOk, "a@x.org", "host", "host", 110},
      {"a#:25", TargetParse::kOk, "a", ":25", ":25", 110},  // ":" first is part of the host
      {"alice", TargetParse::kNoServer},
      {"alice#", TargetParse::kNoServer},
      {"", TargetParse::kNoServer},
      {"#host", TargetParse::kNoAccount},
      {"a#host:", TargetParse::kBadPort},
      {"a#host:0", TargetParse::kBadPort},
      {"a#host:65536", TargetParse::kBadPort},
      {"a#host:-1", TargetParse::kBadPort},
      {"a#host:2 5", TargetParse::kBadPort},
      {"a#host:0000025", TargetParse::kBadPort},
      {std::string(kMailMaxAccount + 1, 'a') + "#host", TargetParse::kTooLong},
      {"a#" + std::string(kMailMaxHost + 1, 'h'), TargetParse::kTooLong},
      {std::string("a\0b#host", 8), TargetParse::kBadCharacter},
      // A CR once reached the server inside "USER ...", where it may end the line early.
      {"a\rRETR 1#host", TargetParse::kBadCharacter},
      {"a#host\n", TargetParse::kBadCharacter},
      {"a\tb#host", TargetParse::kBadCharacter},
  };
  for (const Case& c : cases) {
    MailTarget t;
    ASSERT_EQ(ParseMailTarget(c.user, 110, &t), c.result) << c.user;
    if (c.result != TargetParse::kOk) continue;
    EXPECT_EQ(t.account, c.account) << c.user;
    EXPECT_EQ(t.server, c.server) << c.user;
    EXPECT_EQ(t.host, c.host) << c.user;
    EXPECT_EQ(t.port, c.port) << c.user;
  }
  MailTarget longest;
  EXPECT_EQ(ParseMailTarget(
                std::string(kMailMaxAccount, 'a') + "#" + std::string(kMailMaxHost, 'h') + ":25",
                25, &longest),
            TargetParse::kOk);
}

TEST(MailMessages, ReplyLinesTellTheirCodeAndWhetherTheyEndTheReply) {
  struct Case {
    std::string_view line;
    bool valid;
    int code;
    bool last;
  } cases[] = {
      {"250-mail.example", true, 250, false},
      {"250 AUTH LOGIN", true, 250, true},
      {"334 VXNlcm5hbWU6", true, 334, true},
      {"220", true, 220, true},
      {"554-", true, 554, false},
      {"25 x", false, 0, false},
      {"2500 x", false, 0, false},
      {"+OK ready", false, 0, false},
      {"", false, 0, false},
      {"abc def", false, 0, false},
  };
  for (const Case& c : cases) {
    ReplyLine r;
    ASSERT_EQ(ParseReplyLine(c.line, &r), c.valid) << c.line;
    if (!c.valid) continue;
    EXPECT_EQ(r.code, c.code) << c.line;
    EXPECT_EQ(r.last, c.last) << c.line;
  }
}

TEST(MailMessages, Base64MatchesTheStandardVectorsBothWays) {
  struct Case {
    std::string plain, encoded;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"Username:", "VXNlcm5hbWU6"},
      {"Password:", "UGFzc3dvcmQ6"},
      {std::string("\xff\xfe\x00\x01", 4), "//4AAQ=="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Base64Encode(c.plain), c.encoded) << c.plain;
    std::string decoded;
    ASSERT_TRUE(Base64Decode(c.encoded, &decoded)) << c.encoded;
    EXPECT_EQ(decoded, c.plain) << c.encoded;
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  std::string back;
  ASSERT_TRUE(Base64Decode(Base64Encode(all), &back));
  EXPECT_EQ(back, all);
}

TEST(MailMessages, Base64AcceptsMissingPaddingAndRefusesEverythingElse) {
  std::string out;
  ASSERT_TRUE(Base64Decode("Zm8", &out));
  EXPECT_EQ(out, "fo");
  ASSERT_TRUE(Base64Decode("Zg", &out));
  EXPECT_EQ(out, "f");
  for (std::string_view bad : {"Z", "Zm9vY", "Zg=", "Z===", "Zm9v====", "Zm=9", "=Zm9", "Zm9v\x80",
                               "Zm 9v", "Zm9v\r", "*", "Zm9-", "Zm9_"}) {
    out = "left";
    EXPECT_FALSE(Base64Decode(bad, &out)) << bad;
    EXPECT_EQ(out, "") << bad;
  }
}

}  // namespace
}  // namespace tw
