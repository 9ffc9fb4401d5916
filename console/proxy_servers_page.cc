#include "console/proxy_servers_page.h"

#include <nlohmann/json.hpp>

#include "config/account_tables.h"
#include "config/protocols.h"
#include "hosting/server_manager.h"

namespace tw {

namespace {

constexpr char kNoSuchServer[] = "There is no such server.";

// Collects what the manager would put in a message box during one call, and puts the page's
// own box back afterwards.
class CapturedMessage {
 public:
  explicit CapturedMessage(ServerManager& manager)
      : manager_(manager), saved_(std::move(manager.events.messageBox)) {
    manager_.events.messageBox = [this](const std::string& text, bool error) {
      result_.message = text;
      result_.error = error;
    };
  }
  ~CapturedMessage() { manager_.events.messageBox = std::move(saved_); }
  CapturedMessage(const CapturedMessage&) = delete;
  CapturedMessage& operator=(const CapturedMessage&) = delete;

  PageResult Result(bool ok) const {
    PageResult r = result_;
    r.ok = ok;
    return r;
  }

 private:
  ServerManager& manager_;
  std::function<void(const std::string&, bool)> saved_;
  PageResult result_;
};

}  // namespace

ServerStatus StatusOf(const ServerManager& manager) {
  ServerStatus status;
  for (std::int32_t id = kFirstProtocol; id <= kLastProtocol; ++id) {
    status.running[id] = manager.Running(id);
    status.port[id] = manager.LastPort(id);
  }
  return status;
}

std::vector<ServerRow> ListServerRows(const std::string& data_dir, const ServerStatus& status,
                                      std::string* error) {
  std::vector<ServerRecord> records;
  std::vector<ServerRow> rows;
  if (!ServerTable(data_dir).List(&records, error, 0, kMaxServerRows)) return rows;
  for (ServerRecord& r : records) {
    ServerRow row;
    row.id = r.id;
    row.name = std::move(r.name);
    row.description = std::move(r.description);
    if (ValidProtocol(r.id)) {
      row.on = status.running[r.id];
      row.port = status.port[r.id];
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

PageResult StartProxy(ServerManager& manager, std::int32_t id) {
  if (!ValidProtocol(id)) return PageResult::Refused(kNoSuchServer);
  CapturedMessage box(manager);
  manager.StartServer(id);
  PageResult result = box.Result(manager.Running(id));
  // A running proxy that server.sdb now disables is reported but left running.
  if (!result.message.empty()) result.ok = false;
  return result;
}

PageResult StopProxy(ServerManager& manager, std::int32_t id) {
  if (!ValidProtocol(id)) return PageResult::Refused(kNoSuchServer);
  CapturedMessage box(manager);
  manager.StopServer(id);
  return box.Result(!manager.Running(id));
}

void to_json(nlohmann::json& j, const ServerRow& row) {
  j = nlohmann::json{{"id", row.id},
                     {"name", row.name},
                     {"status", row.on ? "On" : "Off"},
                     {"port", row.port},
                     {"description", row.description}};
}

}  // namespace tw
