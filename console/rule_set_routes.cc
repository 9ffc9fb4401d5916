#include "console/rule_set_routes.h"

#include <exception>
#include <memory>

#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/json_fields.h"

namespace tw {

namespace {

constexpr char kEnding[] = "the console is ending";

nlohmann::json EntriesJson(const std::vector<RuleSetName>& names) {
  nlohmann::json entries = nlohmann::json::array();
  for (const RuleSetName& n : names) entries.push_back({{"id", n.id}, {"name", n.name}});
  return entries;
}

nlohmann::json ListJson(const RuleSetEditorSpec& spec, const std::vector<RuleSetName>& names) {
  return {{"entries", EntriesJson(names)},
          {"note", OverLimitNote(spec.plural, names.size(), spec.limit)}};
}

// The body's "id" as a record id; 0 allowed when allow_new.
bool BodyRecordId(const nlohmann::json& body, bool allow_new, std::int32_t* id) {
  if (!body.is_object() || !body.contains("id")) return false;
  try {
    *id = Int32Field(body, "id");
  } catch (const std::exception&) {
    return false;
  }
  return *id > 0 || (allow_new && *id == 0);
}

}  // namespace

bool ParseRecordId(const std::string& text, std::int32_t* id) {
  if (text.empty() || text.size() > 9) return false;
  std::int32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value == 0) return false;
  *id = value;
  return true;
}

void RegisterRuleSetEditor(ApiRouter& router, ConsoleOwner& owner, RuleSetEditorSpec spec) {
  auto s = std::make_shared<const RuleSetEditorSpec>(std::move(spec));
  const std::string base = s->base;
  router.Get(base, std::string("The ") + s->plural + " by name in id order, and a note.",
             [&owner, s](const ApiRequest&) {
               std::vector<RuleSetName> names;
               if (!owner.Call([&] { names = s->list(owner.dataDir()); })) {
                 return ApiReply::Error(503, kEnding);
               }
               return ApiReply::Json(ListJson(*s, names));
             });
  router.Get(base + "/record", std::string("One ") + s->what + ": ?id=N gives its values.",
             [&owner, s](const ApiRequest& request) {
               std::int32_t id = 0;
               if (!ParseRecordId(request.Query("id"), &id)) {
                 return ApiReply::Error(400, "id is required");
               }
               nlohmann::json values;
               bool found = false;
               if (!owner.Call([&] { found = s->load(owner.dataDir(), id, &values); })) {
                 return ApiReply::Error(503, kEnding);
               }
               if (!found) return ApiReply::Error(404, std::string("no such ") + s->what);
               return ApiReply::Json({{"id", id}, {"values", values}});
             });
  router.Post(base + "/save",
              std::string("Save: {\"id\": 0 (new) or N, \"values\": {...}} for one ") + s->what +
                  "; a refusal writes nothing.",
              [&owner, s](const ApiRequest& request) {
                std::int32_t id = 0;
                if (!BodyRecordId(request.body, true, &id) || !request.body.contains("values")) {
                  return ApiReply::Error(400, "id and values are required");
                }
                PageResult result;
                std::vector<RuleSetName> names;
                std::string bad;
                if (!owner.Call([&] {
                      try {
                        result = s->save(owner.dataDir(), request.body["values"], &id);
                      } catch (const std::exception& e) {
                        bad = e.what();
                        return;
                      }
                      names = s->list(owner.dataDir());
                    })) {
                  return ApiReply::Error(503, kEnding);
                }
                if (!bad.empty()) return ApiReply::Error(400, "values: " + bad);
                nlohmann::json reply = ListJson(*s, names);
                reply["result"] = result;
                reply["id"] = id;
                return ApiReply::Json(reply);
              });
  router.Post(base + "/delete",
              std::string("Delete: {\"id\": N, \"confirmed\": bool} for one ") + s->what +
                  "; one that accounts name is deleted only when confirmed.",
              [&owner, s](const ApiRequest& request) {
                std::int32_t id = 0;
                bool confirmed = false;
                if (!BodyRecordId(request.body, false, &id)) {
                  return ApiReply::Error(400, "id is required");
                }
                BodyBool(request.body, "confirmed", &confirmed);
                PageResult result;
                std::string question;
                std::vector<RuleSetName> names;
                if (!owner.Call([&] {
                      const std::string& dir = owner.dataDir();
                      RuleSetUse use = s->use(dir, id);
                      if (use.total() > 0 && !confirmed) {
                        std::string name;
                        for (const RuleSetName& n : s->list(dir)) {
                          if (n.id == id) name = n.name;
                        }
                        question = DeleteInUseQuestion(s->what, name, use);
                        result.ok = false;
                      } else {
                        result = s->erase(dir, id);
                      }
                      names = s->list(dir);
                    })) {
                  return ApiReply::Error(503, kEnding);
                }
                nlohmann::json reply = ListJson(*s, names);
                reply["result"] = result;
                reply["question"] = question;
                return ApiReply::Json(reply);
              });
}

}  // namespace tw
