#include "Values.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "CommandLine.h"
#include "HexDigits.h"

namespace dnm::tool {
namespace {

size_t WidthOf(ValueForm form) {
  switch (form) {
    case ValueForm::kU8:
      return 1;
    case ValueForm::kU16:
      return 2;
    case ValueForm::kU32:
      return 4;
    default:
      return 0;
  }
}

}  // namespace

ValueForm ParseValueForm(const std::string& text) {
  if (text == "u8") return ValueForm::kU8;
  if (text == "u16") return ValueForm::kU16;
  if (text == "u32") return ValueForm::kU32;
  if (text == "string") return ValueForm::kString;
  if (text == "hex") return ValueForm::kHex;
  throw UsageError("--as " + text + " is not u8, u16, u32, string or hex");
}

std::vector<uint8_t> ParseHex(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-') continue;
    if (HexDigit(c) < 0) throw UsageError("'" + text + "' is not hex bytes");
    digits += c;
  }
  auto bytes = HexBytes(digits);
  if (!bytes) throw UsageError("'" + text + "' has an odd number of hex digits");
  return std::move(*bytes);
}

std::string LowerHex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::string HexText(const std::vector<uint8_t>& bytes, const char* separator) {
  std::string text;
  char byte[3];
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) text += separator;
    std::snprintf(byte, sizeof byte, "%02X", unsigned{bytes[i]});
    text += byte;
  }
  return text;
}

std::vector<uint8_t> EncodeValue(const std::string& text, ValueForm form) {
  if (form == ValueForm::kHex) return ParseHex(text);
  if (form == ValueForm::kString) {
    if (text.size() > 254) throw UsageError("a string holds at most 254 characters");
    std::vector<uint8_t> bytes{static_cast<uint8_t>(text.size())};
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
  }
  const size_t width = WidthOf(form);
  const uint32_t max = width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
  uint32_t value = ParseNumber(text, 0, max, "value");
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < width; ++i, value >>= 8) bytes.push_back(static_cast<uint8_t>(value));
  return bytes;
}

bool DecodeValue(const std::vector<uint8_t>& bytes, ValueForm form, std::string& text) {
  if (form == ValueForm::kHex) {
    text = HexText(bytes);
    return true;
  }
  if (form == ValueForm::kString) return ShortString(bytes, text);
  if (bytes.size() != WidthOf(form)) return false;
  text = std::to_string(Little(bytes));
  return true;
}

uint32_t Little(const std::vector<uint8_t>& bytes) {
  uint32_t value = 0;
  for (size_t i = bytes.size(); i > 0; --i) value = value << 8 | bytes[i - 1];
  return value;
}

bool ShortString(const std::vector<uint8_t>& bytes, std::string& text) {
  if (bytes.empty() || bytes[0] != bytes.size() - 1) return false;
  text.assign(bytes.begin() + 1, bytes.end());
  return true;
}

std::vector<std::string> Split(const std::string& text, std::string_view separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string::npos;
       start = end + separator.size()) {
    parts.push_back(text.substr(start, end - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

bool WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno != EINTR) return false;
    if (wrote > 0) done += static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace dnm::tool
