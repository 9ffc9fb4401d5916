#pragma once
// The console's per-start secrets and the file that tells a second tarnwick (or "tarnwick
// --url") where the running console is. The file "tarnwick.url" in the data directory holds
// one line, the login URL with the token, and is readable by its owner only. Any thread.
#include <string>
#include <string_view>

namespace tw {

constexpr char kConsoleUrlFileName[] = "tarnwick.url";

// 32 random bytes from the kernel as 64 lower-case hex digits; empty when none could be had.
std::string NewConsoleSecret();

// Compares two secrets in time that depends only on their lengths.
bool SameSecret(std::string_view a, std::string_view b);

// The address a browser on this machine uses for a console bound to bound_address ("0.0.0.0"
// is reached through 127.0.0.1).
std::string BrowserAddress(const std::string& bound_address);

// "http://ADDR:PORT/login?token=TOKEN".
std::string ConsoleLoginUrl(const std::string& bound_address, int port, const std::string& token);

// Replaces the URL file atomically with mode 0600. False with *error.
bool WriteConsoleUrlFile(const std::string& data_dir, const std::string& url, std::string* error);
// The URL of the file's first line (at most 1 KB read); false when there is none.
bool ReadConsoleUrlFile(const std::string& data_dir, std::string* url);
void RemoveConsoleUrlFile(const std::string& data_dir);

}  // namespace tw
