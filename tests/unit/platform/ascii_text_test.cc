#include "platform/ascii_text.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/bounded_text.h"

namespace tw {
namespace {

TEST(AsciiTextTest, PrefixAndEqualityIgnoreCaseOfLettersOnly) {
  EXPECT_TRUE(StartsWithNoCase("get ftp://host/", "GET ftp://"));
  EXPECT_TRUE(StartsWithNoCase("EHLO client", "ehlo"));
  EXPECT_FALSE(StartsWithNoCase("EHL", "EHLO"));
  // '[' and '{' are 0x20 apart like 'A' and 'a'; only letters fold.
  EXPECT_FALSE(StartsWithNoCase("[", "{"));
  EXPECT_TRUE(EqualsNoCase("quit", "QUIT"));
  EXPECT_FALSE(EqualsNoCase("QUITS", "QUIT"));
  EXPECT_TRUE(EqualsNoCase("", ""));
}

TEST(AsciiTextTest, PortTextIsOneToFiveDigitsFromOneTo65535) {
  struct Case {
    const char* text;
    bool ok;
    uint16_t port;
  } cases[] = {
      {"1", true, 1},      {"65535", true, 65535}, {"00021", true, 21}, {"0", false, 0},
      {"65536", false, 0}, {"000021", false, 0},   {"", false, 0},      {"+21", false, 0},
      {"21 ", false, 0},   {"2a", false, 0},       {"99999", false, 0},
  };
  for (const Case& c : cases) {
    uint16_t port = 7;
    EXPECT_EQ(ParsePortText(c.text, &port), c.ok) << "\"" << c.text << "\"";
    EXPECT_EQ(port, c.ok ? c.port : 7) << "\"" << c.text << "\" must leave the port alone";
  }
}

TEST(BoundedTextTest, KeepsAtMostCapacityBytesAndStaysTerminated) {
  BoundedText<8> t;
  EXPECT_TRUE(t.empty());
  EXPECT_STREQ(t.c_str(), "");
  EXPECT_TRUE(BoundedText<8>::Fits("1234567"));
  EXPECT_FALSE(BoundedText<8>::Fits("12345678"));
  t.Set("1234567");
  EXPECT_EQ(t.view(), "1234567");
  t.Set("123456789");
  EXPECT_EQ(t.view(), "1234567") << "a longer text is cut at the capacity";
  EXPECT_EQ(std::string(t.c_str()), "1234567");
  t.Set("ab");
  EXPECT_EQ(t.size(), 2u);
  EXPECT_STREQ(t.c_str(), "ab") << "a shorter text after a longer one is terminated";
  t.Set(t.view().substr(1));  // the field's own bytes may be kept again
  EXPECT_STREQ(t.c_str(), "b");
}

}  // namespace
}  // namespace tw
