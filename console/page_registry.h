#pragma once
// The console's pages, in the order of the navigation list, and where each registers its API
// routes. Adding a page is one source pair in console/ (its logic and a Register function),
// one row in page_registry.cc, and its script console/web/pages/<id>.js, which the layout
// loads by id. A row without a Register function and without a script shows a placeholder.
#include <span>

namespace tw {

class ApiRouter;
class ConsoleOwner;

struct ConsolePage {
  const char* id;     // "server-logs": the page's address (#server-logs) and script name
  const char* title;  // the navigation item and the page title
  bool navigation;    // an item of the navigation list
  void (*registerRoutes)(ApiRouter& router, ConsoleOwner& owner);  // nullptr: none yet
};

std::span<const ConsolePage> ConsolePages();

// The page shown at start-up and after a total start failure (Proxy Servers).
constexpr char kStartPageId[] = "proxy-servers";

// Every page's routes, the main window's and GET /api/pages.
void RegisterConsoleRoutes(ApiRouter& router, ConsoleOwner& owner);

}  // namespace tw
