#pragma once
// The Proxy Servers page: the list of proxies from server.sdb with their running state, and
// the Start and STOP buttons, which start or stop one proxy through the server manager. A
// single start applies the proxy's whole settings as saved by the server dialog; what the
// manager would show in a message box ("The Server is disabled!", a start error) comes back
// as the action's result for the page to show.
//
// Owner thread only (the thread that runs the server manager).
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "console/page_result.h"

namespace tw {

class ServerManager;

// What the list shows of the manager: running flags and last-used ports, by server id.
struct ServerStatus {
  bool running[6] = {};
  std::int32_t port[6] = {};
};

ServerStatus StatusOf(const ServerManager& manager);

// One row: ID, Name, Status ("On"/"Off"), Port (the last-used port), Description.
struct ServerRow {
  std::int32_t id = 0;
  std::string name;
  bool on = false;
  std::int32_t port = 0;  // 0 for a record that names no proxy
  std::string description;
};

// At most this many rows are listed, whatever a damaged server.sdb holds.
constexpr std::size_t kMaxServerRows = 64;

// The rows of server.sdb in id order. A missing or unreadable table gives no rows, and
// *error (when given) says why.
std::vector<ServerRow> ListServerRows(const std::string& data_dir, const ServerStatus& status,
                                      std::string* error = nullptr);

// Start: starts the proxy `id` unless it already runs. ok when it runs afterwards; a disabled
// proxy, a start failure and an unknown id are refused with the text to show.
PageResult StartProxy(ServerManager& manager, std::int32_t id);
// STOP: stops the proxy `id` when it runs; nothing to say when it does not.
PageResult StopProxy(ServerManager& manager, std::int32_t id);

// {"id", "name", "status": "On"|"Off", "port", "description"}
void to_json(nlohmann::json& j, const ServerRow& row);

}  // namespace tw
