#include "MqttPayload.h"

#include <cstdio>
#include <utility>

#include "CommandLine.h"
#include "FlatJson.h"
#include "HexDigits.h"

namespace dnm::tool {
namespace {

constexpr int kMqttPort = 1883;
constexpr int kMqttsPort = 8883;
// A topic holds at most 65535 bytes; the prefix leaves room for the device's levels.
constexpr size_t kMaxPrefix = 1024;

bool HostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

bool Ipv6Character(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' ||
         c == '.';
}

bool DecimalDigit(char c) {
  return c >= '0' && c <= '9';
}

bool AllOf(std::string_view text, bool (*accepted)(char)) {
  for (const char c : text) {
    if (!accepted(c)) return false;
  }
  return true;
}

OutputsRequest Refused(std::string why) {
  return {{}, std::move(why)};
}

OutputsRequest HexRequest(const FlatJsonValue& hex, size_t size) {
  if (hex.kind != FlatJsonValue::Kind::kString)
    return Refused("\"hex\" is not a string of hex digits");
  if (hex.text.size() != 2 * size)
    return Refused("\"hex\" has " + std::to_string(hex.text.size()) + " digits, the device's " +
                   std::to_string(size) + " output bytes take " + std::to_string(2 * size));
  auto bytes = HexBytes(hex.text);
  if (!bytes) return Refused("\"hex\" holds a character that is no hex digit");
  return {std::move(*bytes), ""};
}

OutputsRequest NotAByteList(size_t size) {
  return Refused("\"bytes\" is not a list of " + std::to_string(size) +
                 " whole numbers from 0 to 255");
}

OutputsRequest ListRequest(const FlatJsonValue& list, size_t size) {
  if (list.kind != FlatJsonValue::Kind::kList || list.list.size() > size) return NotAByteList(size);
  std::vector<uint8_t> bytes;
  for (const uint64_t number : list.list) {
    if (number > 255) return NotAByteList(size);
    bytes.push_back(static_cast<uint8_t>(number));
  }
  if (bytes.size() != size)
    return Refused("\"bytes\" has " + std::to_string(bytes.size()) + " bytes, the device's outputs " +
                   std::to_string(size));
  return {bytes, ""};
}

}  // namespace

BrokerAddress ParseBrokerUrl(const std::string& url) {
  const auto refuse = [&url](const std::string& why) {
    return UsageError("--mqtt takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not '" + url +
                      "': " + why);
  };
  BrokerAddress address;
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    address.tls = true;
    rest = url.substr(8);
  } else {
    throw refuse("another scheme");
  }
  if (rest.substr(0, rest.find('/')).find('@') != std::string::npos)
    throw refuse("no user in the URL: log in with --mqtt-user and --mqtt-password-file");
  std::string port;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) throw refuse("no ']'");
    address.host = rest.substr(1, close - 1);
    if (address.host.empty() || !AllOf(address.host, Ipv6Character)) throw refuse("no IPv6 address");
    rest = rest.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') throw refuse("something after the address");
    port = rest.empty() ? "" : rest.substr(1);
  } else {
    const size_t colon = rest.find(':');
    address.host = rest.substr(0, colon);
    if (address.host.empty() || !AllOf(address.host, HostCharacter)) throw refuse("no host");
    if (colon != std::string::npos) port = rest.substr(colon + 1);
    if (colon != std::string::npos && port.empty()) throw refuse("no port after ':'");
  }
  if (!AllOf(port, DecimalDigit)) throw refuse("port '" + port + "' is not a decimal number");
  address.port = port.empty() ? (address.tls ? kMqttsPort : kMqttPort)
                              : static_cast<int>(ParseNumber(port, 1, 65535, "broker port"));
  return address;
}

std::string TopicPrefix(const std::string& prefix, const std::string& host, const ScanList& list) {
  if (prefix.empty()) {
    std::string made = "dnm/";
    for (const char c : host) made += (c == '+' || c == '#' || c == '/' || c == '\0') ? '_' : c;
    if (host.empty()) made += "localhost";
    return list.ports.empty() ? made : made + "/" + PortName(list.ports.front());
  }
  const auto refuse = [&prefix](const char* why) {
    return UsageError("--mqtt-prefix '" + prefix + "' " + why);
  };
  if (prefix.size() > kMaxPrefix) throw refuse("is longer than 1024 bytes");
  if (prefix.find_first_of(std::string("+#\0", 3)) != std::string::npos)
    throw refuse("holds a wildcard ('+' or '#') or NUL");
  // Brokers keep topics under '$' to themselves and drop what clients publish there.
  if (prefix.front() == '$') throw refuse("starts with '$', the broker's own topics");
  if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos)
    throw refuse("has an empty level");
  return prefix;
}

std::string PortName(const PortEntry& port) {
  return std::to_string(port.board) + "-" + std::to_string(port.port);
}

std::string PortTopic(const std::string& prefix, const PortEntry& port) {
  return prefix + "/port/" + PortName(port);
}

std::string DeviceTopic(const std::string& prefix, const PortEntry& port, uint8_t mac) {
  return PortTopic(prefix, port) + "/device/" + std::to_string(mac);
}

std::string OutputsSetFilter(const std::string& prefix) {
  return prefix + "/port/+/device/+/outputs/set";
}

TopicDevice DeviceOfOutputsSet(const std::string& prefix, std::string_view topic,
                               const ScanList& list) {
  // The names are compared as the topics write them: "03" or "0x3" names no device.
  for (const PortEntry& port : list.ports) {
    for (const DeviceEntry& device : port.devices) {
      if (topic == DeviceTopic(prefix, port, device.mac) + "/outputs/set") return {&port, &device};
    }
  }
  return {};
}

OutputsRequest ParseOutputsRequest(std::string_view payload, size_t size) {
  const FlatJson json = ReadFlatJson(payload);
  const std::string& key = json.fault_key;
  switch (json.fault) {
    case FlatJson::Fault::kNone:
      break;
    case FlatJson::Fault::kTooLong:
      return Refused("longer than " + std::to_string(kMaxFlatJson) + " bytes");
    case FlatJson::Fault::kNoObject:
      return Refused("not a JSON object {\"hex\":\"..\"} or {\"bytes\":[..]}");
    case FlatJson::Fault::kValue:
      if (key == "hex") return Refused("\"hex\" is not a string of hex digits");
      if (key == "bytes") return NotAByteList(size);
      return Refused("\"" + key + "\" is neither \"hex\" nor \"bytes\"");
    case FlatJson::Fault::kDuplicate:
    case FlatJson::Fault::kAfterValue:
      return Refused("more than one member, or something after the object");
  }
  if (json.members.empty())
    return Refused("not a JSON object {\"hex\":\"..\"} or {\"bytes\":[..]}");
  const auto& [name, value] = *json.members.begin();
  if (name != "hex" && name != "bytes")
    return Refused("\"" + name + "\" is neither \"hex\" nor \"bytes\"");
  if (json.members.size() != 1)
    return Refused("more than one member, or something after the object");
  return name == "hex" ? HexRequest(value, size) : ListRequest(value, size);
}

std::string JsonByteList(const std::vector<uint8_t>& bytes) {
  std::string text = "[";
  for (size_t i = 0; i < bytes.size(); ++i) text += (i > 0 ? "," : "") + std::to_string(bytes[i]);
  return text + "]";
}

}  // namespace dnm::tool
