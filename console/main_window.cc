#include "console/main_window.h"

#include "console/api_router.h"
#include "console/console_owner.h"

namespace tw {

namespace {

nlohmann::json NoticesJson(const std::vector<ConsoleNotice>& notices) {
  nlohmann::json out = nlohmann::json::array();
  for (const ConsoleNotice& n : notices) {
    out.push_back({{"id", n.id}, {"text", n.text}, {"error", n.error}});
  }
  return out;
}

// Runs a command on the owner thread and replies with its message boxes and the new status.
ApiReply RunCommand(ConsoleOwner& owner, const std::function<void()>& command) {
  std::vector<ConsoleNotice> messages;
  if (!owner.Call(command, &messages)) return ApiReply::Error(503, "the console is ending");
  return ApiReply::Json({{"messages", NoticesJson(messages)}, {"status", StatusJson(owner.Status())}});
}

}  // namespace

Furniture FurnitureFor(bool online) {
  return {online ? kOnlineStatusText : kOfflineStatusText, !online, online};
}

nlohmann::json StatusJson(const ConsoleStatus& status) {
  Furniture furniture = FurnitureFor(status.online);
  nlohmann::json servers = nlohmann::json::array();
  for (const ServerStatusRow& row : status.servers) {
    servers.push_back(
        {{"id", row.id}, {"name", row.name}, {"running", row.running}, {"port", row.port}});
  }
  return {{"online", status.online},
          {"statusText", furniture.statusText},
          {"startEnabled", furniture.startEnabled},
          {"stopEnabled", furniture.stopEnabled},
          {"startFailed", status.startFailed},
          {"servers", servers},
          {"notices", NoticesJson(status.notices)},
          {"logsCleared", status.logsCleared},
          {"logRows", status.logRows},
          {"logMegabytes", status.logMegabytes}};
}

void RegisterMainWindow(ApiRouter& router, ConsoleOwner& owner) {
  router.Get("/api/status", "The status line, the toolbar's enabling and each proxy's state.",
             [&owner](const ApiRequest&) { return ApiReply::Json(StatusJson(owner.Status())); });
  router.Post("/api/servers/start", "Start Servers: starts every enabled proxy.",
              [&owner](const ApiRequest&) {
                return RunCommand(owner, [&owner] { owner.manager().StartServers(); });
              });
  router.Post("/api/servers/stop", "Stop Servers: stops every running proxy.",
              [&owner](const ApiRequest&) {
                return RunCommand(owner, [&owner] { owner.manager().StopServers(); });
              });
  router.Post("/api/exit",
              "Exit: stops the proxies, saves the options and ends tarnwick.",
              [&owner](const ApiRequest&) {
                return RunCommand(owner, [&owner] { owner.RequestExit(); });
              });
  router.Post("/api/notices/dismiss", "Closes a start-up message box: {\"id\": N}.",
              [&owner](const ApiRequest& request) {
                if (!request.body.is_object() || !request.body.contains("id") ||
                    !request.body["id"].is_number_unsigned()) {
                  return ApiReply::Error(400, "id is required");
                }
                owner.DismissNotice(request.body["id"].get<std::uint64_t>());
                return ApiReply::Json({{"dismissed", true}});
              });
}

}  // namespace tw
