// Hex digits to bytes, the one reader of them: the command line's values, the web view's and the
// MQTT publisher's "hex" members.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace dnm::tool {

// 0 to 15; -1 for a character that is no hex digit.
inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Two digits a byte, of either case, nothing between; nullopt for an odd count or another
// character.
inline std::optional<std::vector<uint8_t>> HexBytes(std::string_view digits) {
  if (digits.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  bytes.reserve(digits.size() / 2);
  for (size_t i = 0; i < digits.size(); i += 2) {
    const int high = HexDigit(digits[i]);
    const int low = HexDigit(digits[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

}  // namespace dnm::tool
