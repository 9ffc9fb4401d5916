#include "console/page_registry.h"

#include "console/account_pages_api.h"
#include "console/api_router.h"
#include "console/main_window.h"
#include "console/online_users_page.h"
#include "console/options_page.h"
#include "console/proxy_servers_api.h"
#include "console/schedule_editor.h"
#include "console/server_logs_page.h"
#include "console/traffic_page.h"
#include "console/web_assets.h"
#include "console/web_filter_editor.h"

namespace tw {

namespace {

const ConsolePage kPages[] = {
    {"server-logs", "Server Logs", true, RegisterServerLogsPage},
    {"options", "Options", true, RegisterOptionsPage},
    {"proxy-servers", "Proxy Servers", true, RegisterProxyServersPage},
    {"user-account", "User Account", true, RegisterUserAccountPage},
    {"group", "Group", true, RegisterGroupPage},
    {"traffic", "Traffic", true, RegisterTrafficPage},
    {"online-users", "Online Users", true, RegisterOnlineUsersPage},
    {"help", "Help", false, nullptr},
    {"about", "About", false, nullptr},
    {"api", "Console API", false, nullptr},
};

}  // namespace

std::span<const ConsolePage> ConsolePages() {
  return kPages;
}

void RegisterConsoleRoutes(ApiRouter& router, ConsoleOwner& owner) {
  router.Document("GET", "/api/session",
                  "The CSRF token that a browser sends back in X-CSRF-Token with every change "
                  "(a Bearer caller needs none).");
  router.Document("GET", "/api/events",
                  "Server-sent events: \"status\" with the status, \"logs\" with new rows.");
  router.Get("/api/pages", "The pages in navigation order.", [](const ApiRequest&) {
    nlohmann::json pages = nlohmann::json::array();
    for (const ConsolePage& page : ConsolePages()) {
      bool script = FindWebAsset(std::string("/pages/") + page.id + ".js") != nullptr;
      pages.push_back({{"id", page.id},
                       {"title", page.title},
                       {"navigation", page.navigation},
                       {"script", script}});
    }
    return ApiReply::Json({{"pages", pages}, {"start", kStartPageId}});
  });
  router.Get("/api/routes", "This list.", [&router](const ApiRequest&) {
    nlohmann::json routes = nlohmann::json::array();
    for (const ApiRoute& route : router.Routes()) {
      routes.push_back(
          {{"method", route.method}, {"path", route.path}, {"summary", route.summary}});
    }
    return ApiReply::Json({{"routes", routes}});
  });
  RegisterMainWindow(router, owner);
  // The editors are dialogs that several pages open, not pages of their own.
  RegisterWebFilterEditor(router, owner);
  RegisterScheduleEditor(router, owner);
  for (const ConsolePage& page : ConsolePages()) {
    if (page.registerRoutes != nullptr) page.registerRoutes(router, owner);
  }
}

}  // namespace tw
