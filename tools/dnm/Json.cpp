#include "Json.h"

#include <cstdio>

namespace dnm::tool {

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (c == '\n') {
      quoted += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", unsigned{static_cast<unsigned char>(c)});
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string JsonKey(const std::string& label) {
  std::string key;
  for (const char c : label) key += (c == ' ' || c == '-') ? '_' : c;
  return key;
}

}  // namespace dnm::tool
