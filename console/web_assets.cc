#include "console/web_assets.h"

namespace tw {

// Filled by the generated web_assets_data.cc.
extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

std::span<const WebAsset> AllWebAssets() {
  return {kWebAssets, kWebAssetCount};
}

const WebAsset* FindWebAsset(std::string_view path) {
  for (const WebAsset& asset : AllWebAssets()) {
    if (path == asset.path) return &asset;
  }
  return nullptr;
}

}  // namespace tw
