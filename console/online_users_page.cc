#include "console/online_users_page.h"

#include <nlohmann/json.hpp>
#include <string>

#include "config/protocols.h"
#include "console/api_router.h"
#include "console/console_owner.h"
#include "platform/address_text.h"

namespace tw {

namespace {

constexpr char kEnding[] = "the console is ending";

// A JSON body's unsigned whole number; false when absent, negative, fractional or another type.
bool BodyUnsigned(const nlohmann::json& body, const char* name, std::uint64_t* value) {
  if (!body.is_object()) return false;
  auto it = body.find(name);
  if (it == body.end() || !it->is_number_unsigned()) return false;
  *value = it->get<std::uint64_t>();
  return true;
}

ApiReply DisconnectOne(ConsoleOwner& owner, const ApiRequest& request) {
  std::uint64_t proxy = 0;
  std::uint64_t id = 0;
  if (!BodyUnsigned(request.body, "proxy", &proxy) || proxy < kFirstProtocol ||
      proxy > kLastProtocol || !BodyUnsigned(request.body, "id", &id) || id == 0) {
    return ApiReply::Error(400, "proxy (1-5) and id are required");
  }
  bool cut = false;
  if (!owner.Call([&] { cut = owner.manager().Disconnect(static_cast<std::int32_t>(proxy), id); })) {
    return ApiReply::Error(503, kEnding);
  }
  if (!cut) return ApiReply::Error(404, "That connection has already ended.");
  return ApiReply::Json({{"disconnected", 1}});
}

ApiReply DisconnectUser(ConsoleOwner& owner, const ApiRequest& request) {
  std::string user;
  if (!BodyString(request.body, "user", &user)) return ApiReply::Error(400, "user is required");
  if (user.empty()) {
    return ApiReply::Error(400, "Guests have no user name; disconnect their connections one by one.");
  }
  int cut = 0;
  if (!owner.Call([&] { cut = owner.manager().DisconnectUser(user); })) {
    return ApiReply::Error(503, kEnding);
  }
  if (cut == 0) return ApiReply::Error(404, "No connection of " + user + " is open any more.");
  return ApiReply::Json({{"disconnected", cut}});
}

}  // namespace

nlohmann::json OnlineConnectionsJson(const std::vector<ConnectionView>& connections) {
  nlohmann::json rows = nlohmann::json::array();
  for (const ConnectionView& c : connections) {
    rows.push_back({{"proxy", c.proxy},
                    {"proxyName", NamesOf(c.proxy).upper},
                    {"id", c.id},
                    {"client", AddressText(c.clientAddr) + ":" + std::to_string(c.clientPort)},
                    {"user", c.user},
                    {"destination", c.destination},
                    {"since", c.startedUnixMs},
                    {"up", c.up},
                    {"down", c.down},
                    {"rateUp", c.rateUp},
                    {"rateDown", c.rateDown}});
  }
  return {{"connections", std::move(rows)}};
}

void RegisterOnlineUsersPage(ApiRouter& router, ConsoleOwner& owner) {
  router.Get("/api/online", "Online Users: every proxy's live client connections.",
             [&owner](const ApiRequest&) {
               return ApiReply::Json(OnlineConnectionsJson(owner.manager().LiveConnections()));
             });
  router.Post("/api/online/disconnect",
              "Disconnect: cuts live connection {\"proxy\": 1-5, \"id\": N} (404: it has ended).",
              [&owner](const ApiRequest& request) { return DisconnectOne(owner, request); });
  router.Post("/api/online/disconnect-user",
              "Disconnect user: cuts every live connection of {\"user\": NAME} on every proxy.",
              [&owner](const ApiRequest& request) { return DisconnectUser(owner, request); });
}

}  // namespace tw
