#pragma once
// The main window's furniture as the console pages show it: the status line, the toolbar's
// and menu's enabling, and the menu commands Start Servers, Stop Servers and Exit (which the
// page confirms first: on the web it is one click away from ending everything).
// Pure functions and route registration; the routes run their commands on the owner thread.
#include <string>

#include <nlohmann/json.hpp>

namespace tw {

class ApiRouter;
class ConsoleOwner;
struct ConsoleStatus;

constexpr char kProgramCaption[] = "Tarnwick Proxy Server";
constexpr char kAboutText[] = "Tarnwick Proxy Server Version 2.2";
constexpr char kOnlineStatusText[] = "[Proxy Servers are online] ";
constexpr char kOfflineStatusText[] = "[Proxy Servers are offline]";
constexpr char kExitQuestion[] = "Do you really want to exit?";

struct Furniture {
  std::string statusText;
  bool startEnabled = false;  // toolbar Start and menu Start Servers
  bool stopEnabled = false;   // toolbar Stop and menu Stop Servers
};

Furniture FurnitureFor(bool online);

// The status as the pages read it (GET /api/status and the event stream).
nlohmann::json StatusJson(const ConsoleStatus& status);

// /api/status, /api/servers/start, /api/servers/stop, /api/exit, /api/notices/dismiss.
void RegisterMainWindow(ApiRouter& router, ConsoleOwner& owner);

}  // namespace tw
