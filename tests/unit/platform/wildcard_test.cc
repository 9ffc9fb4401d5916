#include "platform/wildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace tw {
namespace {

TEST(WildcardTest, MatchesWholeTextWithStarAndQuestionMarkIgnoringCase) {
  struct Case {
    const char* pattern;
    const char* text;
    bool match;
  } cases[] = {
      {"*.example.com", "www.example.com", true},
      {"*.example.com", "example.com", false},
      {"*.EXAMPLE.com", "Www.Example.COM", true},
      {"intranet", "intranet", true},
      {"intranet", "intranet2", false},  // whole text, not a prefix
      {"intranet", "my-intranet", false},
      {"h?st", "host", true},
      {"h?st", "hst", false},
      {"*", "", true},
      {"", "", true},
      {"", "a", false},
      {"a*b*c", "aXXbYYc", true},
      {"a*b*c", "aXXbYY", false},
      {"*ab", "aab", true},  // needs the backtrack to retry the star
      {"**a**", "bab", true},
      {"GET http://*.news.*", "GET http://www.news.org/ HTTP/1.1", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.match)
        << "pattern '" << c.pattern << "' text '" << c.text << "'";
  }
}

TEST(WildcardTest, HostilePatternFinishesQuickly) {
  std::string text(20000, 'a');
  std::string pattern;
  for (int i = 0; i < 200; ++i) pattern += "*a";
  pattern += "b";
  EXPECT_FALSE(WildcardMatch(pattern, text));
}

}  // namespace
}  // namespace tw
