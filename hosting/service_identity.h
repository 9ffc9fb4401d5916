#pragma once
// The name the service runs under on a data directory and the systemd unit that name gives.
// kestrane installs and controls the unit under this name; the console asks systemd about the
// same unit. Any thread: the table is opened and closed within the call.
#include <string>

namespace tw {

constexpr char kDefaultServiceName[] = "Tarnwick Proxy Service";

// The description of <dataDir>/service.sdb when that table opens and has one, else the default.
std::string ServiceNameFor(const std::string& dataDir);

// "Tarnwick Proxy Service" -> "tarnwick-proxy-service": lower case, blanks as hyphens, and
// anything but letters, digits, "-", "_" and "." dropped.
std::string UnitName(const std::string& serviceName);

}  // namespace tw
