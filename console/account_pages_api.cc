#include "console/account_pages_api.h"

#include <nlohmann/json.hpp>

#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/group_page.h"
#include "console/json_fields.h"
#include "console/traffic_page.h"
#include "console/user_account_file.h"
#include "console/user_account_page.h"
#include "platform/base64.h"

namespace tw {

namespace {

constexpr char kEnding[] = "the console is ending";

// Runs fn on the owner thread and replies with what it made.
ApiReply OnOwner(ConsoleOwner& owner, const std::function<ApiReply()>& fn) {
  ApiReply reply;
  if (!owner.Call([&] { reply = fn(); })) return ApiReply::Error(503, kEnding);
  return reply;
}

// The dialog's values from {"values": {...}}; false with the reply to send when they do not
// read.
template <typename Record>
bool BodyValues(const nlohmann::json& body, void (*read)(const nlohmann::json&, Record*),
                Record* values, ApiReply* refusal) {
  if (!body.is_object() || !body.contains("values") || !body["values"].is_object()) {
    *refusal = ApiReply::Error(400, "values are required");
    return false;
  }
  try {
    read(body["values"], values);
  } catch (const std::exception& e) {
    *refusal = ApiReply::Error(400, e.what());
    return false;
  }
  return true;
}

void RegisterLimitationChoices(ApiRouter& router, ConsoleOwner& owner) {
  router.Get("/api/account-limits/choices",
             "The Web Filter and Schedule lists of the account dialogs, in id order.",
             [&owner](const ApiRequest&) {
               return OnOwner(owner, [&] {
                 std::string error;
                 nlohmann::json reply = ListLimitationChoices(owner.dataDir(), &error);
                 reply["error"] = error;
                 return ApiReply::Json(reply);
               });
             });
}

}  // namespace

void RegisterUserAccountPage(ApiRouter& router, ConsoleOwner& owner) {
  RegisterLimitationChoices(router, owner);
  router.Get("/api/user-account",
             "The list: UserID, Password, Email, Group, Status, bytes Today and This month, by "
             "user name.",
             [&owner](const ApiRequest&) {
               return OnOwner(owner, [&] {
                 std::string error, flush_error;
                 std::vector<UserRow> rows = ListUserRows(owner.dataDir(), &error);
                 TrafficRecording& traffic = owner.traffic();
                 traffic.Flush(&flush_error);  // the figures shown include this console's own
                 FillUserTraffic(owner.dataDir(), traffic.Today(), &rows);
                 return ApiReply::Json({{"rows", rows}, {"error", error}});
               });
             });
  router.Get("/api/user-account/dialog",
             "Opens the account dialog: ?userid=NAME, or none for a new account.",
             [&owner](const ApiRequest& request) {
               std::string userid = request.Query("userid");
               return OnOwner(owner, [&] {
                 UserDialog dialog;
                 PageResult result = OpenUserDialog(owner.dataDir(), userid, &dialog);
                 nlohmann::json reply = dialog;
                 reply["result"] = result;
                 return ApiReply::Json(reply);
               });
             });
  router.Post("/api/user-account/dialog/save",
              "OK: saves {\"values\": {...}}; an empty UserID saves nothing, a refusal writes "
              "nothing.",
              [&owner](const ApiRequest& request) {
                UserRecord values;
                ApiReply refusal;
                if (!BodyValues(request.body, &UserValuesFromJson, &values, &refusal)) {
                  return refusal;
                }
                return OnOwner(owner, [&] {
                  UserRow row;
                  PageResult result = SaveUserDialog(owner.dataDir(), values, &row);
                  nlohmann::json reply{{"result", result}, {"row", nullptr}};
                  if (!row.userid.empty()) reply["row"] = row;
                  return ApiReply::Json(reply);
                });
              });
  router.Post("/api/user-account/delete", "Delete: {\"userid\": NAME}, after the question.",
              [&owner](const ApiRequest& request) {
                std::string userid;
                if (!BodyString(request.body, "userid", &userid)) {
                  return ApiReply::Error(400, "userid is required");
                }
                return OnOwner(owner, [&] {
                  return ApiReply::Json({{"result", DeleteUser(owner.dataDir(), userid)}});
                });
              });
  router.Get("/api/user-account/export", "Export...: the accounts as comma-separated text.",
             [&owner](const ApiRequest&) {
               return OnOwner(owner, [&] {
                 std::string text, error;
                 if (!ExportUsers(owner.dataDir(), &text, &error)) {
                   return ApiReply::Error(500, "The accounts could not be read: " + error);
                 }
                 return ApiReply::Text(std::move(text));
               });
             });
  router.Post("/api/user-account/import",
              "Import...: {\"data\": the file in Base64}; says how many accounts were imported "
              "and why lines were skipped.",
              [&owner](const ApiRequest& request) {
                std::string data, text;
                if (!BodyString(request.body, "data", &data)) {
                  return ApiReply::Error(400, "data is required");
                }
                if (data.size() > (kMaxImportBytes + 2) / 3 * 4) {
                  return ApiReply::Error(413, "The file is larger than " +
                                                  std::to_string(kMaxImportBytes / (1024 * 1024)) +
                                                  " MiB.");
                }
                if (!Base64Decode(data, &text)) return ApiReply::Error(400, "data is not Base64");
                return OnOwner(owner, [&] {
                  ImportReport report = ImportUsers(owner.dataDir(), text);
                  return ApiReply::Json({{"imported", report.imported},
                                         {"skipped", report.skipped},
                                         {"reasons", report.reasons},
                                         {"message", report.Text()}});
                });
              });
}

void RegisterGroupPage(ApiRouter& router, ConsoleOwner& owner) {
  router.Get("/api/group", "The list: ID, Name, Status, Notes, in id order.",
             [&owner](const ApiRequest&) {
               return OnOwner(owner, [&] {
                 std::string error;
                 std::vector<GroupRow> rows = ListGroupRows(owner.dataDir(), &error);
                 return ApiReply::Json({{"rows", rows}, {"error", error}});
               });
             });
  router.Get("/api/group/dialog", "Opens the group dialog: ?id=N, or id=0 for a new group.",
             [&owner](const ApiRequest& request) {
               std::int32_t id = 0;
               try {
                 id = Int32Value(nlohmann::json::parse(request.Query("id", "0")), "id");
               } catch (const std::exception&) {
                 return ApiReply::Error(400, "id is required");
               }
               return OnOwner(owner, [&] {
                 GroupDialog dialog;
                 PageResult result = OpenGroupDialog(owner.dataDir(), id, &dialog);
                 nlohmann::json reply = dialog;
                 reply["result"] = result;
                 return ApiReply::Json(reply);
               });
             });
  router.Post("/api/group/dialog/save",
              "OK: saves {\"values\": {...}}; an empty name saves nothing, a refusal writes "
              "nothing.",
              [&owner](const ApiRequest& request) {
                GroupRecord values;
                ApiReply refusal;
                if (!BodyValues(request.body, &GroupValuesFromJson, &values, &refusal)) {
                  return refusal;
                }
                return OnOwner(owner, [&] {
                  GroupRow row;
                  PageResult result = SaveGroupDialog(owner.dataDir(), values, &row);
                  nlohmann::json reply{{"result", result}, {"row", nullptr}};
                  if (row.id != 0) reply["row"] = row;
                  return ApiReply::Json(reply);
                });
              });
  router.Post("/api/group/delete", "Delete: {\"id\": N}, after the question.",
              [&owner](const ApiRequest& request) {
                std::int32_t id = 0;
                try {
                  id = Int32Field(request.body, "id");
                } catch (const std::exception&) {
                  return ApiReply::Error(400, "id is required");
                }
                return OnOwner(owner, [&] {
                  return ApiReply::Json({{"result", DeleteGroup(owner.dataDir(), id)}});
                });
              });
}

}  // namespace tw
