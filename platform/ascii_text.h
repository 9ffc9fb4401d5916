#pragma once
// Small tests and parses of ASCII protocol text (commands, header names, ports) that every
// protocol reads the same way. Case folding is ASCII only: no locale is consulted.
#include <cstdint>
#include <string_view>

namespace tw {

// True when text begins with prefix, letters compared without regard to case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// True when a and b are the same text, letters compared without regard to case.
bool EqualsNoCase(std::string_view a, std::string_view b);

// A port number written as 1 to 5 decimal digits and nothing else, 1 to 65535. False (and
// *port untouched) for anything else: empty, signs, blanks, 0, or a larger number.
bool ParsePortText(std::string_view text, uint16_t* port);

}  // namespace tw
