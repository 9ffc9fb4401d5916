#pragma once
// The Online Users page: every proxy's live client connections (who, from where, to where,
// since when, bytes and rates), and the commands that cut one connection or every connection
// of one user. The list is a copy taken on request (ServerManager::LiveConnections), so
// reading it costs the relay nothing beyond the moment of the copy; the page asks for it
// again at most once a second. The cuts run on the owner thread through ConsoleOwner::Call.
#include <nlohmann/json_fwd.hpp>
#include <vector>

#include "engine/core/connection_tally.h"

namespace tw {

class ApiRouter;
class ConsoleOwner;

// {"connections": [{"proxy": 1..5, "proxyName": "HTTP", "id", "client": "a.b.c.d:port",
//   "user" (empty for a guest), "destination" ("" before the client named one),
//   "since" (Unix ms), "up", "down", "rateUp", "rateDown"}]} in the order given.
nlohmann::json OnlineConnectionsJson(const std::vector<ConnectionView>& connections);

// GET /api/online, POST /api/online/disconnect {"proxy", "id"},
// POST /api/online/disconnect-user {"user"}. A cut of a connection (or a user) with nothing
// live any more answers 404 with a text that says so; a guest (empty user) is refused, as it
// would name every guest at once.
void RegisterOnlineUsersPage(ApiRouter& router, ConsoleOwner& owner);

}  // namespace tw
