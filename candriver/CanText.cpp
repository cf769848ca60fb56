#include "CanText.h"

#include <cstdio>

namespace vcan {
namespace {

std::optional<unsigned> HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

std::optional<uint32_t> ParseHex(std::string_view digits) {
  uint32_t value = 0;
  for (char c : digits) {
    auto digit = HexDigitValue(c);
    if (!digit) return std::nullopt;
    value = value * 16 + *digit;
  }
  return value;
}

std::string_view Trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

bool ParseData(std::string_view hex, Frame& frame) {
  if (hex == "R" || hex == "r") {
    frame.rtr = true;
    return true;
  }
  if (hex.size() % 2 != 0 || hex.size() / 2 > kMaxDataLength) return false;
  frame.len = static_cast<uint8_t>(hex.size() / 2);
  for (size_t i = 0; i < frame.len; ++i) {
    auto byte = ParseHex(hex.substr(2 * i, 2));
    if (!byte) return false;
    frame.data[i] = static_cast<uint8_t>(*byte);
  }
  return true;
}

}  // namespace

std::string FormatCanText(const Frame& frame) {
  char text[24];
  int used = std::snprintf(text, sizeof text, "%03X#", static_cast<unsigned>(frame.id));
  if (frame.rtr) return std::string(text) + "R";
  for (size_t i = 0; i < frame.len; ++i) {
    used += std::snprintf(text + used, sizeof text - used, "%02X", frame.data[i]);
  }
  return text;
}

std::optional<Frame> ParseCanText(std::string_view line) {
  line = Trim(line);
  const auto hash = line.find('#');
  if (hash == std::string_view::npos || hash == 0 || hash > 3) return std::nullopt;
  auto id = ParseHex(line.substr(0, hash));
  if (!id || *id > kMaxStandardId) return std::nullopt;
  Frame frame;
  frame.id = *id;
  if (!ParseData(line.substr(hash + 1), frame)) return std::nullopt;
  return frame;
}

}  // namespace vcan
