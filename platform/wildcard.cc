#include "platform/wildcard.h"

#include <cstddef>

namespace tw {
namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view text) {
  // Greedy scan with one backtrack point: the last "*" seen and the text position it was
  // tried at. A later "*" supersedes an earlier one, which keeps the scan linear per star.
  std::size_t p = 0, t = 0;
  std::size_t star = std::string_view::npos, star_text = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_text = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(text[t]))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace tw
