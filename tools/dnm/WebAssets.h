// The web view's page, script and style, built into dnm so that the page needs nothing from
// elsewhere (plant networks are closed).
#pragma once

#include <string_view>

namespace dnm::tool {

struct WebAsset {
  std::string_view path;          // "/", "/app.js", "/style.css"
  std::string_view content_type;  // "text/html; charset=utf-8"...
  std::string_view body;
};

// The asset served at path; nullptr for none.
const WebAsset* FindWebAsset(std::string_view path);

}  // namespace dnm::tool
