#include "console/service_control.h"

#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "config/data_dir.h"
#include "config/protocols.h"
#include "config/settings.h"
#include "hosting/server_manager.h"

namespace tw {

namespace {

// pkexec's own exit codes: the prompt was dismissed, or rights could not be obtained.
constexpr int kElevationDismissed = 126;
constexpr int kElevationRefused = 127;

struct ActionTexts {
  const char* name;
  const char* sw;
  const char* done;  // shown when kestrane succeeded without a word
};

const ActionTexts& TextsOf(ServiceAction action) {
  static const ActionTexts kTexts[] = {
      {"install", "-i", "The service was installed."},
      {"uninstall", "-u", "The service was uninstalled."},
      {"start", "-s", "The service was started."},
      {"stop", "-e", "The service was stopped."},
  };
  return kTexts[static_cast<int>(action)];
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// "kestrane -s", for messages that have no text of the program's own.
std::string CommandText(const ServiceControlOptions& options, ServiceAction action) {
  std::string program = options.kestrane_path;
  size_t slash = program.rfind('/');
  if (slash != std::string::npos) program.erase(0, slash + 1);
  return program + " " + TextsOf(action).sw;
}

ServiceOutcome OutcomeOf(const ServiceControlOptions& options, ServiceAction action,
                         const ProgramOutcome& run) {
  ServiceOutcome out;
  std::string said = Trimmed(run.output);
  std::string command = CommandText(options, action);
  if (!run.started) {
    out.message = "The service host could not be run: " + run.error;
    return out;
  }
  if (run.timed_out) {
    out.message = command + " did not finish within " +
                  std::to_string(options.time_limit_ms / 1000) + " seconds and was stopped.";
    return out;
  }
  if (!run.exited) {
    out.message = command + " ended by signal " + std::to_string(run.signal) + ".";
    return out;
  }
  out.exit_code = run.exit_code;
  if (options.elevate && run.exit_code == kElevationDismissed) {
    out.message = "Service installation canceled.";
    return out;
  }
  if (options.elevate && run.exit_code == kElevationRefused) {
    out.message = "Administrator rights could not be obtained to run " + command + ".";
    if (!said.empty()) out.message += "\n" + said;
    return out;
  }
  out.ok = run.exit_code == 0;
  if (!said.empty()) {
    out.message = said;
  } else if (out.ok) {
    out.message = TextsOf(action).done;
  } else {
    out.message = command + " failed with exit code " + std::to_string(run.exit_code) + ".";
  }
  return out;
}

}  // namespace

bool ServiceActionFromName(const std::string& name, ServiceAction* action) {
  for (ServiceAction a : {ServiceAction::kInstall, ServiceAction::kUninstall, ServiceAction::kStart,
                          ServiceAction::kStop}) {
    if (name == TextsOf(a).name) {
      *action = a;
      return true;
    }
  }
  return false;
}

ServiceControlOptions DefaultServiceControlOptions(const std::string& data_dir_in) {
  ServiceControlOptions options;
  std::string dir = ProgramDirectory();
  // pkexec starts the program elsewhere: the paths it is given must not depend on ours.
  std::error_code ec;
  std::string data_dir = std::filesystem::absolute(data_dir_in, ec).string();
  if (ec) data_dir = data_dir_in;
  options.kestrane_path = DataFilePath(dir, "kestrane");
  options.data_dir = data_dir;
  options.elevate = geteuid() != 0;
  options.autostart.program = DataFilePath(dir, "tarnwick");
  options.autostart.data_dir = data_dir;
  return options;
}

ServiceOutcome RunServiceHost(const ServiceControlOptions& options, ServiceAction action) {
  std::vector<std::string> argv;
  if (options.elevate) argv.push_back(options.elevator);
  argv.insert(argv.end(), {options.kestrane_path, TextsOf(action).sw, "--data", options.data_dir});
  ProgramOutcome run =
      options.runner ? options.runner(argv) : RunProgram(argv, options.time_limit_ms);
  return OutcomeOf(options, action, run);
}

ServiceOutcome StartService(const ServiceControlOptions& options,
                            const std::function<void()>& stop_listeners) {
  if (stop_listeners) stop_listeners();
  ServiceOutcome out = RunServiceHost(options, ServiceAction::kStart);
  if (!out.ok) return out;

  Settings settings = Settings::InDataDir(options.data_dir);
  std::string error;
  for (const SettingKey& key : {setting::kAutoActive, setting::kAutoActiveSSL, setting::kStartup}) {
    if (!settings.SetInt(key, 0, &error)) {
      out.message += "\nThe options could not be saved: " + error;
      return out;
    }
  }
  if (!SetStartAtLogon(false, options.autostart, &error, options.autostart_dir)) {
    out.message += "\n" + error;
  }
  // The settings are off even when the entry could not be removed; the page shows both.
  out.options_cleared = true;
  return out;
}

ServiceOutcome ServiceButton(const ServiceControlOptions& options, ServiceAction action,
                             const std::function<void()>& stop_listeners) {
  if (action == ServiceAction::kStart) return StartService(options, stop_listeners);
  ServiceOutcome out = RunServiceHost(options, action);
  if (action != ServiceAction::kInstall || !out.ok) return out;
  // An installation that was already there leaves Startup as it was, and so the entry.
  if (Settings::InDataDir(options.data_dir).Switch(setting::kStartup)) return out;
  std::string error;
  if (!SetStartAtLogon(false, options.autostart, &error, options.autostart_dir)) {
    out.message += "\n" + error;
  }
  out.options_cleared = true;
  return out;
}

void StopConsoleListeners(ServerManager& manager) {
  manager.StopServers();
  for (int32_t id = kFirstProtocol; id <= kLastProtocol; ++id) {
    if (manager.Running(id)) manager.StopServer(id);
  }
}

void to_json(nlohmann::json& j, const ServiceOutcome& outcome) {
  j = nlohmann::json{{"ok", outcome.ok},
                     {"exitCode", outcome.exit_code},
                     {"message", outcome.message},
                     {"optionsCleared", outcome.options_cleared}};
}

}  // namespace tw
