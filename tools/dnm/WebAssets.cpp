#include "WebAssets.h"

#include <array>

namespace dnm::tool {

const WebAsset* FindWebAsset(std::string_view path) {
  static const std::array<WebAsset, 1> assets = {
      WebAsset{"/", "text/html; charset=utf-8", "<!doctype html><title>dnm</title>"}};
  for (const WebAsset& asset : assets)
    if (asset.path == path) return &asset;
  return nullptr;
}

}  // namespace dnm::tool
