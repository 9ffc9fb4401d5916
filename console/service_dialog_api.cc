#include "console/service_dialog_api.h"

#include <atomic>
#include <nlohmann/json.hpp>

#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/service_control.h"

namespace tw {

void RegisterServiceDialog(ApiRouter& router, ConsoleOwner& owner) {
  static std::atomic<bool> running{false};
  router.Post(
      "/api/service",
      "A button of the Service dialog: {\"action\": \"install|uninstall|start|stop\"}; waits for "
      "kestrane and replies {ok, exitCode, message, optionsCleared}.",
      [&owner](const ApiRequest& request) {
        std::string name;
        ServiceAction action;
        if (!BodyString(request.body, "action", &name) || !ServiceActionFromName(name, &action)) {
          return ApiReply::Error(400, "action must be install, uninstall, start or stop");
        }
        if (running.exchange(true)) {
          return ApiReply::Error(409, "Another service action is still running.");
        }
        ServiceControlOptions options = DefaultServiceControlOptions(owner.dataDir());
        bool ending = false;
        ServiceOutcome outcome = ServiceButton(options, action, [&] {
          if (!owner.Call([&] { StopConsoleListeners(owner.manager()); })) ending = true;
        });
        running = false;
        if (ending) return ApiReply::Error(503, "the console is ending");
        if (outcome.options_cleared) {
          // The files say 0 now; the console's own values and boxes follow, so saving the
          // options at exit does not turn them back on.
          owner.Call([&] {
            owner.options().Click("startup", false, &owner.manager(), &owner.activity());
            owner.options().Click("autoActive", false, &owner.manager(), &owner.activity());
          });
        }
        return ApiReply::Json(outcome);
      });
}

}  // namespace tw
