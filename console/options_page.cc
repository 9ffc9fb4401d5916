#include "console/options_page.h"

#include <arpa/inet.h>
#include <dirent.h>

#include <algorithm>

#include "config/activity_log.h"
#include "config/data_dir.h"
#include "config/protocols.h"
#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/service_dialog_api.h"
#include "hosting/server_manager.h"
#include "platform/address_text.h"
#include "platform/interfaces.h"

namespace tw {

namespace {

// The rows of the Security group, in the order the page shows them.
const SecuritySetting kSecuritySettings[] = {
    {"guestsFromAnywhere", "Admit guests from any address (not only the attached networks)",
     setting::kGuestsFromAnywhere, SecuritySetting::kSwitch},
    {"allowLocalDestinations", "Let the proxies connect to this machine and to local addresses",
     setting::kAllowLocalDestinations, SecuritySetting::kSwitch},
    {"listenAddress", "Address the proxies listen on (empty: every address)",
     setting::kListenAddress, SecuritySetting::kIPv4OrEmpty},
    // The Server Logs list's bounds in memory.
    {"logRows", "Rows kept in the Server Logs list", setting::kConsoleLogRows,
     SecuritySetting::kNumber, 1, 1000000},
    {"logMegabytes", "Megabytes kept in the Server Logs list", setting::kConsoleLogMegabytes,
     SecuritySetting::kNumber, 1, 1024},
    // The bounds the proxies apply; the engine takes a value outside them as the default, so
    // the page refuses it rather than let it be ignored silently.
    {"idleTimeout", "Seconds an idle connection is kept open", setting::kIdleTimeout,
     SecuritySetting::kNumber, 1, 86400},
    {"lookupTimeout", "Seconds a name lookup may take", setting::kLookupTimeout,
     SecuritySetting::kNumber, 1, 60},
    {"maxConnectionsPerClient", "Connections per client address and proxy (0: no cap)",
     setting::kMaxConnectionsPerClient, SecuritySetting::kNumber, 0, 1000000},
    {"logDays", "Days the daily log files are kept", setting::kLogDays, SecuritySetting::kNumber,
     1, 36500},
};

bool ValidValue(const SecuritySetting& row, std::string_view value) {
  switch (row.kind) {
    case SecuritySetting::kSwitch:
      return value == "0" || value == "1";
    case SecuritySetting::kIPv4OrEmpty: {
      if (value.empty()) return true;
      uint32_t parsed = 0;
      return ParseCanonicalIPv4(value, &parsed);
    }
    case SecuritySetting::kNumber: {
      if (value.empty() || value.size() > 9) return false;
      int n = 0;
      for (char c : value) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
      }
      return n >= row.min && n <= row.max;
    }
  }
  return false;
}

bool* BoxOf(OptionBoxes& boxes, std::string_view name) {
  if (name == "startup") return &boxes.startup;
  if (name == "minimize") return &boxes.minimize;
  if (name == "autoActive") return &boxes.autoActive;
  if (name == "savelog") return &boxes.savelog;
  if (name == "httpAuth") return &boxes.httpAuth;
  if (name == "socksAuth") return &boxes.socksAuth;
  return nullptr;
}

nlohmann::json BoxesJson(const OptionBoxes& b) {
  return {{"startup", b.startup},   {"minimize", b.minimize}, {"autoActive", b.autoActive},
          {"savelog", b.savelog},   {"httpAuth", b.httpAuth}, {"socksAuth", b.socksAuth}};
}

}  // namespace

void OptionsPage::Load() {
  Settings settings = Settings::InDataDir(dataDir_);
  values_.startup = settings.Switch(setting::kStartup);
  values_.autoActive = settings.Switch(setting::kAutoActive);
  values_.minimize = settings.Switch(setting::kMinimize);
  values_.savelog = settings.Switch(setting::kSavelog);
  startupAtStart_ = values_.startup;
  boxes_ = values_;
  boxes_.httpAuth = boxes_.socksAuth = false;
}

bool OptionsPage::Click(std::string_view box, bool on, ServerManager* manager,
                        ActivityLog* activity) {
  bool* target = BoxOf(boxes_, box);
  if (target == nullptr) return false;
  *target = on;
  if (box == "startup") values_.startup = on;
  if (box == "autoActive") values_.autoActive = on;
  if (box == "savelog") {
    values_.savelog = on;
    if (activity != nullptr) activity->SetSavelog(on);
  }
  if (box == "httpAuth" && manager != nullptr) manager->Server(kProtocolHttp).SetLoginRequired(on);
  if (box == "socksAuth" && manager != nullptr) {
    manager->Server(kProtocolSocks).SetLoginRequired(on);
  }
  return true;
}

bool OptionsPage::SaveOptions(std::string* error) {
  values_.startup = boxes_.startup;
  values_.minimize = boxes_.minimize;
  values_.autoActive = boxes_.autoActive;
  values_.savelog = boxes_.savelog;
  Settings settings = Settings::InDataDir(dataDir_);
  bool ok = settings.SetInt(setting::kStartup, values_.startup ? 1 : 0, error) &&
            settings.SetInt(setting::kAutoActive, values_.autoActive ? 1 : 0, error) &&
            settings.SetInt(setting::kMinimize, values_.minimize ? 1 : 0, error) &&
            settings.SetInt(setting::kSavelog, values_.savelog ? 1 : 0, error);
  if (ok && applyStartAtLogon) ok = applyStartAtLogon(values_.startup, error);
  return ok;
}

std::span<const SecuritySetting> SecuritySettings() {
  return kSecuritySettings;
}

bool WriteSecuritySetting(const std::string& dataDir, std::string_view id, std::string_view value,
                          std::string* error) {
  for (const SecuritySetting& row : kSecuritySettings) {
    if (id != row.id) continue;
    if (!ValidValue(row, value)) {
      *error = std::string("Not a valid value for \"") + row.label + "\"";
      if (row.kind == SecuritySetting::kNumber) {
        *error += ": it takes a whole number from " + std::to_string(row.min) + " to " +
                  std::to_string(row.max);
      }
      *error += ".";
      return false;
    }
    return Settings::InDataDir(dataDir).SetText(row.key, value, error);
  }
  *error = "No such setting.";
  return false;
}

bool IsDailyLogFileName(std::string_view name) {
  if (name.size() != 12 || name.substr(8) != ".txt") return false;
  return std::all_of(name.begin(), name.begin() + 8, [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> DailyLogFiles(const std::string& dataDir) {
  std::vector<std::string> names;
  DIR* dir = opendir(DataFilePath(dataDir, "log").c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    if (IsDailyLogFileName(entry->d_name)) names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.rbegin(), names.rend());
  return names;
}

std::vector<std::string> ServerIpAddresses() {
  std::vector<std::string> outside;
  std::vector<std::string> loopback;
  for (const Ipv4Interface& i : IPv4Interfaces()) {
    if (!i.up) continue;
    std::string text = AddressText(htonl(i.address));
    if (std::find(outside.begin(), outside.end(), text) != outside.end() ||
        std::find(loopback.begin(), loopback.end(), text) != loopback.end()) {
      continue;
    }
    ((i.address >> 24) == 127 ? loopback : outside).push_back(text);
  }
  outside.insert(outside.end(), loopback.begin(), loopback.end());
  return outside;
}

void RegisterOptionsPage(ApiRouter& router, ConsoleOwner& owner) {
  router.Get("/api/options",
             "The check boxes, the Security group's values and the Server IP Address list.",
             [&owner](const ApiRequest&) {
               nlohmann::json reply;
               owner.Call([&] { reply["boxes"] = BoxesJson(owner.options().boxes()); });
               Settings settings = Settings::InDataDir(owner.dataDir());
               nlohmann::json security = nlohmann::json::array();
               for (const SecuritySetting& row : SecuritySettings()) {
                 std::string kind = row.kind == SecuritySetting::kSwitch ? "switch"
                                    : row.kind == SecuritySetting::kNumber ? "number"
                                                                           : "address";
                 nlohmann::json entry = {{"id", row.id},
                                         {"label", row.label},
                                         {"kind", kind},
                                         {"value", settings.Text(row.key)}};
                 if (row.kind == SecuritySetting::kNumber) {
                   entry["min"] = row.min;
                   entry["max"] = row.max;
                 }
                 security.push_back(entry);
               }
               reply["security"] = security;
               reply["addresses"] = ServerIpAddresses();
               return ApiReply::Json(reply);
             });
  router.Post("/api/options/box",
              "Clicks a check box: {\"box\": \"startup|minimize|autoActive|savelog|httpAuth|"
              "socksAuth\", \"on\": true|false}.",
              [&owner](const ApiRequest& request) {
                std::string box;
                bool on = false;
                if (!BodyString(request.body, "box", &box) || !BodyBool(request.body, "on", &on)) {
                  return ApiReply::Error(400, "box and on are required");
                }
                bool known = false;
                nlohmann::json boxes;
                owner.Call([&] {
                  known = owner.options().Click(box, on, &owner.manager(), &owner.activity());
                  boxes = BoxesJson(owner.options().boxes());
                });
                if (!known) return ApiReply::Error(400, "no such check box");
                return ApiReply::Json({{"boxes", boxes}});
              });
  router.Post("/api/options/security",
              "Writes one setting of the Security group to option.ini: {\"id\": ..., "
              "\"value\": \"text\"}.",
              [&owner](const ApiRequest& request) {
                std::string id, value, error;
                if (!BodyString(request.body, "id", &id) ||
                    !BodyString(request.body, "value", &value)) {
                  return ApiReply::Error(400, "id and value are required");
                }
                if (!WriteSecuritySetting(owner.dataDir(), id, value, &error)) {
                  return ApiReply::Error(400, error);
                }
                if (id == "logRows" || id == "logMegabytes") {
                  owner.Call([&] { owner.ApplyLogLimits(); });
                }
                return ApiReply::Json({{"saved", true}});
              });
  router.Get("/api/options/logfiles", "The daily log files, newest first (\"...\").",
             [&owner](const ApiRequest&) {
               return ApiReply::Json({{"files", DailyLogFiles(owner.dataDir())}});
             });
  router.Document("GET", "/logs/YYYYMMDD.txt", "One daily log file as plain text.");
  RegisterServiceDialog(router, owner);
}

}  // namespace tw
