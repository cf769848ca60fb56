// Attribute values and I/O data as the user writes and reads them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dnm::tool {

// How a value is written on the command line and shown: unsigned integers
// of 1, 2 or 4 bytes (little-endian on the bus), a SHORT_STRING (length
// byte, characters), or raw bytes in hex.
enum class ValueForm { kU8, kU16, kU32, kString, kHex };

// "u8", "u16", "u32", "string" or "hex"; UsageError otherwise.
ValueForm ParseValueForm(const std::string& text);

// Hex digits, two per byte, optionally separated by blanks, ':' or '-'.
std::vector<uint8_t> ParseHex(const std::string& text);
// "0A 0B 0C"; "" for no bytes.
std::string HexText(const std::vector<uint8_t>& bytes, const char* separator = " ");
// "0a1b": lowercase, without separators, as the JSON of dnm run's servers gives bytes.
std::string LowerHex(const std::vector<uint8_t>& bytes);

// The bytes of a value given in that form; UsageError when it does not fit.
std::vector<uint8_t> EncodeValue(const std::string& text, ValueForm form);
// The value shown in that form; false when the bytes do not fit it.
bool DecodeValue(const std::vector<uint8_t>& bytes, ValueForm form, std::string& text);

// Little-endian unsigned value of up to 4 bytes.
uint32_t Little(const std::vector<uint8_t>& bytes);
// The characters of a SHORT_STRING, or false when the length byte does not
// match.
bool ShortString(const std::vector<uint8_t>& bytes, std::string& text);

// The parts of text between separators, empty ones included ("a,,b" has three).
std::vector<std::string> Split(const std::string& text, std::string_view separator);

// Writes the whole text to fd, again after an interruption; false (errno set) on an error.
bool WriteAll(int fd, const std::string& text);

}  // namespace dnm::tool
