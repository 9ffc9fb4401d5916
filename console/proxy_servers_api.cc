#include "console/proxy_servers_api.h"

#include <nlohmann/json.hpp>

#include "console/account_pickers.h"
#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/main_window.h"
#include "console/proxy_servers_page.h"
#include "console/server_dialog.h"

namespace tw {

namespace {

constexpr char kEnding[] = "the console is ending";
// At most this many names are taken from one Add... of a picker.
constexpr std::size_t kMaxPickedNames = 10000;

bool BodyId(const nlohmann::json& body, std::int32_t* id) {
  if (!body.is_object()) return false;
  auto it = body.find("id");
  if (it == body.end() || !it->is_number_integer()) return false;
  std::int64_t value = it->get<std::int64_t>();
  if (value < 1 || value > 1000000) return false;
  *id = static_cast<std::int32_t>(value);
  return true;
}

// The dialog's values from {"values": {...}}; false with the reply to send when they do not
// read.
bool BodyValues(const nlohmann::json& body, ServerDialogValues* values, ApiReply* refusal) {
  std::string error;
  if (!body.is_object() || !body.contains("values")) {
    *refusal = ApiReply::Error(400, "values are required");
    return false;
  }
  if (!ServerDialogValuesFromJson(body["values"], values, &error)) {
    *refusal = ApiReply::Error(400, error);
    return false;
  }
  return true;
}

bool BodyNames(const nlohmann::json& body, std::vector<std::string>* names) {
  if (!body.is_object()) return false;
  auto it = body.find("names");
  if (it == body.end() || !it->is_array() || it->size() > kMaxPickedNames) return false;
  for (const nlohmann::json& name : *it) {
    if (!name.is_string()) return false;
    names->push_back(name.get<std::string>());
  }
  return true;
}

nlohmann::json DialogJson(const ServerDialogValues& values) {
  return {{"values", values}, {"controls", ControlsOf(values)}};
}

// Start or STOP: the page's result with the new status.
ApiReply RunOne(ConsoleOwner& owner, const ApiRequest& request, bool start) {
  std::int32_t id = 0;
  if (!BodyId(request.body, &id)) return ApiReply::Error(400, "id is required");
  PageResult result;
  if (!owner.Call([&] {
        result = start ? StartProxy(owner.manager(), id) : StopProxy(owner.manager(), id);
      })) {
    return ApiReply::Error(503, kEnding);
  }
  return ApiReply::Json({{"result", result}, {"status", StatusJson(owner.Status())}});
}

}  // namespace

void RegisterProxyServersPage(ApiRouter& router, ConsoleOwner& owner) {
  router.Get("/api/proxy-servers", "The list: ID, Name, Status, Port, Description.",
             [&owner](const ApiRequest&) {
               std::vector<ServerRow> rows;
               std::string error;
               if (!owner.Call([&] {
                     rows = ListServerRows(owner.dataDir(), StatusOf(owner.manager()), &error);
                   })) {
                 return ApiReply::Error(503, kEnding);
               }
               return ApiReply::Json({{"rows", rows}, {"error", error}});
             });
  router.Post("/api/proxy-servers/start", "Start: starts one proxy, {\"id\": 1-5}.",
              [&owner](const ApiRequest& request) { return RunOne(owner, request, true); });
  router.Post("/api/proxy-servers/stop", "STOP: stops one proxy, {\"id\": 1-5}.",
              [&owner](const ApiRequest& request) { return RunOne(owner, request, false); });
  router.Get("/api/proxy-servers/dialog",
             "Opens the server dialog: ?id=1-5 gives its values, its controls and a message.",
             [&owner](const ApiRequest& request) {
               std::int32_t id = 0;
               std::string text = request.Query("id");
               if (text.size() != 1 || text[0] < '0' || text[0] > '9') {
                 return ApiReply::Error(400, "id is required");
               }
               id = text[0] - '0';
               ServerDialogValues values;
               PageResult result;
               if (!owner.Call([&] { result = LoadServerDialog(owner.dataDir(), id, &values); })) {
                 return ApiReply::Error(503, kEnding);
               }
               nlohmann::json reply = DialogJson(values);
               reply["result"] = result;
               return ApiReply::Json(reply);
             });
  router.Post("/api/proxy-servers/dialog/controls",
              "Which controls of the dialog are enabled for {\"values\": {...}}.",
              [](const ApiRequest& request) {
                ServerDialogValues values;
                ApiReply refusal;
                if (!BodyValues(request.body, &values, &refusal)) return refusal;
                return ApiReply::Json({{"controls", ControlsOf(values)}});
              });
  // Add... on the Users and Groups tabs: the picker's names join the dialog's list.
  using AddByName = void (*)(const std::string&, const std::vector<std::string>&,
                             ServerDialogValues*);
  auto add_route = [&router, &owner](const char* path, const char* summary, AddByName add) {
    router.Post(path, summary, [&owner, add](const ApiRequest& request) {
      ServerDialogValues values;
      ApiReply refusal;
      if (!BodyValues(request.body, &values, &refusal)) return refusal;
      std::vector<std::string> names;
      if (!BodyNames(request.body, &names)) return ApiReply::Error(400, "names are required");
      if (!owner.Call([&] { add(owner.dataDir(), names, &values); })) {
        return ApiReply::Error(503, kEnding);
      }
      return ApiReply::Json(DialogJson(values));
    });
  };
  add_route("/api/proxy-servers/dialog/add-users",
            "Add... on the Users tab: {\"values\": {...}, \"names\": [user names]}.",
            &AddUsersByName);
  add_route("/api/proxy-servers/dialog/add-groups",
            "Add... on the Groups tab: {\"values\": {...}, \"names\": [group names]}.",
            &AddGroupsByName);
  router.Post("/api/proxy-servers/dialog/save",
              "OK: checks and writes the dialog's {\"values\": {...}}; a refusal writes nothing.",
              [&owner](const ApiRequest& request) {
                ServerDialogValues values;
                ApiReply refusal;
                if (!BodyValues(request.body, &values, &refusal)) return refusal;
                PageResult result;
                if (!owner.Call([&] { result = SaveServerDialog(owner.dataDir(), values); })) {
                  return ApiReply::Error(503, kEnding);
                }
                return ApiReply::Json({{"result", result}});
              });
  router.Get("/api/pickers/users", "The user picker: every user, by user name.",
             [&owner](const ApiRequest&) {
               std::string error;
               std::vector<UserChoice> users;
               if (!owner.Call([&] { users = ListUserChoices(owner.dataDir(), &error); })) {
                 return ApiReply::Error(503, kEnding);
               }
               return ApiReply::Json({{"users", users}, {"error", error}});
             });
  router.Get("/api/pickers/groups", "The group picker: every group, by name.",
             [&owner](const ApiRequest&) {
               std::string error;
               std::vector<GroupChoice> groups;
               if (!owner.Call([&] { groups = ListGroupChoices(owner.dataDir(), &error); })) {
                 return ApiReply::Error(503, kEnding);
               }
               return ApiReply::Json({{"groups", groups}, {"error", error}});
             });
}

}  // namespace tw
