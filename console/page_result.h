#pragma once
// What a page action hands back to the browser: whether it did what was asked, and the text of
// the message box the page shows (empty: none). `error` asks for the error icon and the
// "Tarnwick Proxy Server" caption; without it the box is plain, as for "The Server is
// disabled!".
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace tw {

struct PageResult {
  bool ok = true;
  std::string message;
  bool error = false;

  static PageResult Refused(std::string text) { return {false, std::move(text), true}; }
};

// {"ok": bool, "message": string, "error": bool}
void to_json(nlohmann::json& j, const PageResult& result);

}  // namespace tw
