#include "WebAssets.h"

namespace dnm::tool {
namespace {

// kWebAssets: the files of tools/dnm/web/, made into literals at build time.
#include "WebAssetFiles.inc"

}  // namespace

const WebAsset* FindWebAsset(std::string_view path) {
  for (const WebAsset& asset : kWebAssets)
    if (asset.path == path) return &asset;
  return nullptr;
}

}  // namespace dnm::tool
