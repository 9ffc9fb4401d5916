#include "config/activity_text.h"

#include <cstdarg>
#include <cstdio>

namespace tw {
namespace {

std::string Part(std::string_view s) {
  return std::string(s.substr(0, kActivityPartMax));
}

void AppendEscaped(std::string* out, std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      *out += "\\x";
      *out += kHex[u >> 4];
      *out += kHex[u & 15];
    } else {
      *out += c;
    }
  }
}

}  // namespace

ActivityText SplitActivityText(std::string_view text) {
  ActivityText parts;
  std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    parts.description = Part(text);
    return parts;
  }
  parts.description = Part(text.substr(0, colon));
  std::string_view rest = text.substr(colon + 1);
  std::size_t comma = rest.find(',');
  if (comma == std::string_view::npos || comma == 0) {
    parts.address = Part(rest);
    return parts;
  }
  parts.address = Part(rest.substr(0, comma));
  parts.user = Part(rest.substr(comma + 1));
  return parts;
}

std::string FormatAccessLogLine(const ActivityText& parts, const LocalTime& t) {
  char time_text[64];
  std::snprintf(time_text, sizeof time_text, "%02d/%s/%04d:%02d:%02d:%02d", t.day,
                MonthAbbreviation(t.month), t.year, t.hour, t.minute, t.second);
  std::string line;
  line.reserve(parts.address.size() + parts.user.size() + parts.description.size() + 64);
  AppendEscaped(&line, parts.address);
  line += " - ";
  AppendEscaped(&line, parts.user);
  line += " - [";
  line += time_text;
  line += " - -] \"";
  AppendEscaped(&line, parts.description);
  line += "\" - - \"\" \"-\"";
  return line;
}

std::string FormatServiceLogLine(const LocalTime& t, std::string_view message) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "%02d/%02d/%02d %02d:%02d:%02d.%03d ", t.day, t.month,
                t.year, t.hour, t.minute, t.second, t.millisecond);
  std::string line = prefix;
  AppendEscaped(&line, message);
  return line;
}

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<std::size_t>(n));
  }
  va_end(args);
  return out;
}

}  // namespace tw
