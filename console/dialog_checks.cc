#include "console/dialog_checks.h"

#include <algorithm>

namespace tw {

namespace {

bool IsControl(char c, bool line_breaks) {
  unsigned char u = static_cast<unsigned char>(c);
  if (line_breaks && (c == '\r' || c == '\n' || c == '\t')) return false;
  return u < 0x20 || u == 0x7f;
}

}  // namespace

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return IsControl(c, false); });
}

std::string TextRefusal(std::string_view what, std::string_view text, std::size_t max_chars,
                        bool line_breaks) {
  if (text.size() > max_chars) {
    return "The " + std::string(what) + " is longer than " + std::to_string(max_chars) +
           " characters.";
  }
  if (std::any_of(text.begin(), text.end(), [&](char c) { return IsControl(c, line_breaks); })) {
    return "The " + std::string(what) + " holds a control character.";
  }
  return {};
}

std::string SpeedRefusal(std::string_view what, std::int32_t kbps) {
  if (kbps >= 0 && kbps <= kMaxSpeedKbps) return {};
  return "The " + std::string(what) + " must be from 0 to " + std::to_string(kMaxSpeedKbps) +
         " KB/s.";
}

}  // namespace tw
