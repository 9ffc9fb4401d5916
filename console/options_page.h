#pragma once
// The Options page: the four option values of [Server] (Startup, AutoActive, Minimize,
// Savelog) and their check boxes, the two login switches of the running HTTP and SOCKS
// listeners, the daily log files, the machine's addresses and the "Security" group of newer
// option.ini keys.
//
// Rules:
//   - the option values are read at start-up; a click on "Launch server at login",
//     "Automatically activate proxy servers at startup" or "Save log to file" copies the box
//     into its value at once (Save log then applies to the next activity line); nothing is
//     written to option.ini until SaveOptions (Exit, SIGTERM/SIGINT);
//   - "HTTP Auth" and "Socks5 Auth" start clear, are neither loaded nor saved, and set the
//     running listener's login switch on every click;
//   - the Security group writes its key to option.ini at once (the proxies read it at their
//     next start).
// Owner thread only (the console's ConsoleOwner), except the free functions.
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"

namespace tw {

class ActivityLog;
class ApiRouter;
class ConsoleOwner;
class ServerManager;

struct OptionBoxes {
  bool startup = false;     // "Launch server at login"
  bool minimize = false;    // "Start minimized (do not open the console)"
  bool autoActive = false;  // "Automatically activate proxy servers at startup"
  bool savelog = false;     // "Save log to file "
  bool httpAuth = false;    // "HTTP Auth"
  bool socksAuth = false;   // "Socks5 Auth"
};

class OptionsPage {
 public:
  explicit OptionsPage(std::string dataDir) : dataDir_(std::move(dataDir)) {}

  // Start-up: reads the four values (default 0) into the values and the boxes.
  void Load();
  const OptionBoxes& boxes() const { return boxes_; }
  const OptionBoxes& values() const { return values_; }  // login switches unused here
  bool startupAtStart() const { return startupAtStart_; }

  // A click on the box named `box` ("startup", "minimize", "autoActive", "savelog",
  // "httpAuth", "socksAuth"). False for an unknown name.
  bool Click(std::string_view box, bool on, ServerManager* manager, ActivityLog* activity);

  // Copies the boxes into the values, writes the four keys and applies start at logon.
  bool SaveOptions(std::string* error);

  // Start at logon with the value of Startup; left to the service control page. Empty: none.
  std::function<bool(bool on, std::string* error)> applyStartAtLogon;

 private:
  const std::string dataDir_;
  OptionBoxes boxes_;
  OptionBoxes values_;
  bool startupAtStart_ = false;
};

// One row of the "Security" group: a key of option.ini with its label and what it accepts.
// New safety and limit settings are added as rows of SecuritySettings() in options_page.cc.
struct SecuritySetting {
  const char* id;     // the API's name
  const char* label;  // the visible label
  SettingKey key;
  enum Kind { kSwitch, kIPv4OrEmpty, kNumber } kind;
  int min = 0, max = 0;  // kNumber's range
};

std::span<const SecuritySetting> SecuritySettings();
// Checks value against the row's kind and writes it. False with *error (the value untouched)
// for an unknown id or a value it refuses.
bool WriteSecuritySetting(const std::string& dataDir, std::string_view id, std::string_view value,
                          std::string* error);

// The daily log files under <dataDir>/log, newest first ("20240131.txt").
std::vector<std::string> DailyLogFiles(const std::string& dataDir);
// "YYYYMMDD.txt" and nothing else: the only names the log file route serves.
bool IsDailyLogFileName(std::string_view name);

// Every IPv4 address of this machine's interfaces that are up, loopback last.
std::vector<std::string> ServerIpAddresses();

// The page's routes under /api/options.
void RegisterOptionsPage(ApiRouter& router, ConsoleOwner& owner);

}  // namespace tw
