#include "console/page_result.h"

#include <nlohmann/json.hpp>

namespace tw {

void to_json(nlohmann::json& j, const PageResult& result) {
  j = nlohmann::json{{"ok", result.ok}, {"message", result.message}, {"error", result.error}};
}

}  // namespace tw
