#pragma once
// The Service dialog: its four buttons run the service host, `kestrane -i|-u|-s|-e --data DIR`,
// and report what became of it. The console does not manage the service itself; kestrane does
// the work and says how it went through its exit code and its output. Without root rights the
// program runs through pkexec, which asks for the administrator's password; a dismissed prompt
// reads "Service installation canceled." as for every switch.
//
// Every action waits for the program (at most the time limit), so the caller blocks until
// then: the web side may run these on a thread of its own, provided the stop_listeners
// callback of StartService hands the stop to the console's owner thread and waits for it.
// Nothing here keeps state between calls.
#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "console/program_runner.h"
#include "console/start_at_logon.h"

namespace tw {

class ServerManager;

enum class ServiceAction { kInstall, kUninstall, kStart, kStop };

// The action named by its API word: "install", "uninstall", "start", "stop". False for others.
bool ServiceActionFromName(const std::string& name, ServiceAction* action);

struct ServiceControlOptions {
  std::string kestrane_path;  // absolute path of the service host program
  std::string data_dir;       // absolute; passed as --data
  bool elevate = false;       // run through `elevator` (the console is not root)
  std::string elevator = "pkexec";
  int time_limit_ms = 5 * 60 * 1000;  // systemd may take two minutes; a password prompt more
  ProgramRunner runner;               // empty: RunProgram with time_limit_ms
  AutostartCommand autostart;         // the console's own start-at-logon entry
  std::string autostart_dir;          // empty: AutostartDirectory()
};

// The options for this console: kestrane beside the running program, elevation when not root,
// the data directory made absolute.
ServiceControlOptions DefaultServiceControlOptions(const std::string& data_dir);

// What the dialog shows after a button.
struct ServiceOutcome {
  bool ok = false;
  int exit_code = -1;   // the program's exit code; -1 when it did not exit by itself
  std::string message;  // the program's own text, or one saying what happened
  // Start Service only: AutoActive and start at logon were turned off, so the Options page
  // shows them again.
  bool options_cleared = false;
};

// Runs kestrane with the action's switch and waits for it. ok only for exit code 0.
ServiceOutcome RunServiceHost(const ServiceControlOptions& options, ServiceAction action);

// Start Service: stops every listener of the console first (stop_listeners), so the service
// can bind the ports; runs `kestrane -s`; and only once that succeeded writes [Server]
// AutoActive, AutoActiveSSL and Startup 0 to option.ini and removes the start-at-logon entry,
// so one set of proxies runs. A failed start leaves the options as they were (the console's
// proxies stay stopped).
ServiceOutcome StartService(const ServiceControlOptions& options,
                            const std::function<void()>& stop_listeners);

// One of the dialog's four buttons: Start Service as above; Install Service also removes the
// start-at-logon entry once kestrane has turned the Startup option off (it cannot reach the
// user's autostart folder itself); the others run kestrane alone.
ServiceOutcome ServiceButton(const ServiceControlOptions& options, ServiceAction action,
                             const std::function<void()>& stop_listeners);

// Stops every listener of the manager: the whole set and any started one by one from the
// Proxy Servers page. Owner thread only.
void StopConsoleListeners(ServerManager& manager);

void to_json(nlohmann::json& j, const ServiceOutcome& outcome);

}  // namespace tw
