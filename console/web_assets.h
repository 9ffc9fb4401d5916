#pragma once
// The console's pages, scripts and style sheets, embedded into the binary at build time from
// console/web/. Read-only data; any thread.
#include <cstddef>
#include <span>
#include <string_view>

namespace tw {

struct WebAsset {
  const char* path;          // "/app.js", as requested
  const char* content_type;  // with charset for text
  std::string_view body;
};

// The asset at a request path; nullptr when there is none.
const WebAsset* FindWebAsset(std::string_view path);
std::span<const WebAsset> AllWebAssets();

}  // namespace tw
