// Pieces of JSON output (--json): every command prints one object per line.
#pragma once

#include <string>

namespace dnm::tool {

// text as a JSON string literal, quotes included: UTF-8 as it is, control characters escaped, and
// each byte that is not part of well-formed UTF-8 as \ufffd.
std::string JsonString(const std::string& text);

// "snake_case" of a label ("no response" -> "no_response").
std::string JsonKey(const std::string& label);

}  // namespace dnm::tool
