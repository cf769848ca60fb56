// dnm get and dnm set: one attribute of one device.
#include <cstdio>

#include "Commands.h"
#include "Json.h"
#include "Session.h"
#include "Values.h"

namespace dnm::tool {
namespace {

// The longest value a set writes and a get reads.
constexpr uint32_t kMaxValue = 255;

struct AttributePath {
  uint8_t mac, cls, instance, attribute;
};

AttributePath PathOf(const CommandLine& line) {
  const auto byte = [&](size_t index, const char* what, uint32_t max) {
    return static_cast<uint8_t>(ParseNumber(line.Word(index, what), 0, max, what));
  };
  return {byte(0, "MAC ID", 63), byte(1, "class", 255), byte(2, "instance", 255),
          byte(3, "attribute", 255)};
}

ValueForm FormOf(const CommandLine& line) {
  return line.Has("--as") ? ParseValueForm(line.options.at("--as")[0]) : ValueForm::kHex;
}

std::string JsonPath(const AttributePath& path) {
  return "\"mac\":" + std::to_string(path.mac) + ",\"class\":" + std::to_string(path.cls) +
         ",\"instance\":" + std::to_string(path.instance) +
         ",\"attribute\":" + std::to_string(path.attribute);
}

// The decoded value as JSON: a number for u8/u16/u32, else a string.
std::string JsonValue(ValueForm form, const std::string& text) {
  const bool number = form == ValueForm::kU8 || form == ValueForm::kU16 || form == ValueForm::kU32;
  return number ? text : JsonString(text);
}

}  // namespace

int RunGet(const CommandLine& line) {
  ExpectWords(line, 4);
  const AttributePath path = PathOf(line);
  const ValueForm form = FormOf(line);
  const Session session(line.common);
  session.Connect(path.mac);
  uint8_t value[kMaxValue];
  uint32_t length = 0;
  DNM_CHECKED(session, path.mac, DNM_GetAttributeEx, session.board(), session.port(), path.mac,
              path.cls, path.instance, path.attribute, value, kMaxValue, &length);
  const std::vector<uint8_t> bytes(value, value + length);
  std::string text;
  if (!DecodeValue(bytes, form, text)) {
    throw CallError({"",
                     DNM_NoError,
                     "the value (" + std::to_string(length) + " bytes: " + HexText(bytes) +
                         ") does not read as " + line.options.at("--as")[0],
                     false,
                     0,
                     0,
                     {},
                     {}});
  }
  if (line.common.json) {
    std::printf("{%s,\"length\":%u,\"hex\":%s,\"value\":%s}\n", JsonPath(path).c_str(),
                unsigned{length}, JsonString(HexText(bytes, "")).c_str(),
                JsonValue(form, text).c_str());
  } else {
    std::printf("%s\n", text.c_str());
  }
  return kExitOk;
}

int RunSet(const CommandLine& line) {
  ExpectWords(line, 5);
  const AttributePath path = PathOf(line);
  const std::vector<uint8_t> value = EncodeValue(line.Word(4, "VALUE"), FormOf(line));
  if (value.empty() || value.size() > kMaxValue) {
    throw UsageError("a value has 1 to 255 bytes, not " + std::to_string(value.size()));
  }
  const Session session(line.common);
  session.Connect(path.mac);
  DNM_CHECKED(session, path.mac, DNM_SetAttribute, session.board(), session.port(), path.mac,
              path.cls, path.instance, path.attribute, value.data(),
              static_cast<uint32_t>(value.size()));
  if (line.common.json) {
    std::printf("{%s,\"length\":%zu,\"written\":true}\n", JsonPath(path).c_str(), value.size());
  } else {
    std::printf("wrote %zu bytes\n", value.size());
  }
  return kExitOk;
}

}  // namespace dnm::tool
