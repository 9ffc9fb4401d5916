#pragma once
// The routes of the Proxy Servers page and its server dialog under /api/proxy-servers, and the
// account pickers' lists under /api/pickers. The page logic (console/proxy_servers_page.h,
// console/server_dialog.h) runs on the owner thread through ConsoleOwner::Call; the dialog
// keeps no state on the server: the browser holds the values between calls and sends them back
// whole, and OK checks them all again before anything is written.
namespace tw {

class ApiRouter;
class ConsoleOwner;

void RegisterProxyServersPage(ApiRouter& router, ConsoleOwner& owner);

}  // namespace tw
