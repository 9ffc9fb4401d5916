// Wildcard matching of a whole text against one pattern, as the web filters use it:
// "*" matches any run of characters (also none), "?" exactly one character, every other
// character itself without regard to ASCII case. Runs in O(pattern x text) time at worst and
// never recurses, so hostile patterns or texts cannot exhaust the stack.
#pragma once

#include <string_view>

namespace tw {

bool WildcardMatch(std::string_view pattern, std::string_view text);

}  // namespace tw
