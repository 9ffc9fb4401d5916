#pragma once
// The checks the console's dialogs apply to typed values before anything is written, each
// giving the text the dialog shows (empty: the value may be saved). Pure functions; any thread.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tw {

// The fastest speed a limit applies: faster ones would overflow the bytes per second.
constexpr std::int32_t kMaxSpeedKbps = 2097151;

bool HasControlCharacter(std::string_view text);

// "The <what> is longer than N characters." or "The <what> holds a control character.";
// line_breaks lets CR, LF and tab through (notes).
std::string TextRefusal(std::string_view what, std::string_view text, std::size_t max_chars,
                        bool line_breaks = false);

// "The <what> must be from 0 to 2097151 KB/s." for a speed outside that range.
std::string SpeedRefusal(std::string_view what, std::int32_t kbps);

}  // namespace tw
