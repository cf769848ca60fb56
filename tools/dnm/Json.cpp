#include "Json.h"

#include <cstdio>

namespace dnm::tool {

namespace {

bool Within(const std::string& text, size_t at, unsigned low, unsigned high) {
  if (at >= text.size()) return false;
  const unsigned byte = static_cast<unsigned char>(text[at]);
  return byte >= low && byte <= high;
}

// The bytes of the well-formed UTF-8 sequence of two to four bytes at text[at], or 0 (overlong
// forms, surrogates and code points above U+10FFFF are not).
size_t MultibyteLength(const std::string& text, size_t at) {
  const unsigned lead = static_cast<unsigned char>(text[at]);
  unsigned second_low = 0x80, second_high = 0xBF;
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_low = 0xA0;
    if (lead == 0xED) second_high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_low = 0x90;
    if (lead == 0xF4) second_high = 0x8F;
  } else {
    return 0;
  }
  if (!Within(text, at + 1, second_low, second_high)) return 0;
  for (size_t i = 2; i < length; ++i)
    if (!Within(text, at + i, 0x80, 0xBF)) return 0;
  return length;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (c == '\n') {
      quoted += "\\n";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", unsigned{byte});
      quoted += escape;
    } else if (byte < 0x80) {
      quoted += c;
    } else if (const size_t length = MultibyteLength(text, at); length > 0) {
      quoted.append(text, at, length);
      at += length - 1;
    } else {
      quoted += "\\ufffd";
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
