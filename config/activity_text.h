// Activity texts as the proxy handlers post them ("FTP files:21:10.0.0.5,bob"), their split
// into DESCRIPTION / ADDRESS / USER, and the two line formats written to log files.
// Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace tw {

// Longest part kept from a posted text; longer parts are cut (an HTTP URL can be long).
constexpr std::size_t kActivityPartMax = 4096;

struct ActivityText {
  std::string description;  // protocol word and destination
  std::string address;      // client address, dotted
  std::string user;         // user name, empty for guests
};

// DESCRIPTION is everything before the last ":", ADDRESS what follows up to the first ","
// after it, USER the rest. Without ":" all is DESCRIPTION. A "," right after the ":" does not
// split: the whole remainder is ADDRESS. Each part is cut to kActivityPartMax.
ActivityText SplitActivityText(std::string_view text);

// The access-log line of the daily file, without line end:
//   ADDRESS - USER - [dd/Mon/yyyy:HH:MM:SS - -] "DESCRIPTION" - - "" "-"
// Control characters inside the parts are written as \xHH so that a client-supplied text can
// never start a line of its own.
std::string FormatAccessLogLine(const ActivityText& parts, const LocalTime& t);

// A service-log line without line end: "dd/mm/yyyy HH:MM:SS.mmm " followed by the message
// (control characters escaped as above).
std::string FormatServiceLogLine(const LocalTime& t, std::string_view message);

// printf-style formatting into a string; an invalid format gives "".
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tw
