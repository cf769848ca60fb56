#include "WebRequests.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string_view>

#include "FlatJson.h"
#include "HexDigits.h"
#include "Json.h"
#include "WebAssets.h"

namespace dnm::tool {
namespace {

constexpr uint8_t kMaxMac = 63;
constexpr size_t kMaxPortIndex = 7;
constexpr size_t kMaxOutputBytes = 64;
constexpr size_t kMaxAttributeBytes = 255;
constexpr size_t kMaxDecimalDigits = 20;  // those of UINT64_MAX

constexpr std::string_view kDevicesPrefix = "/api/devices/";

WebResponse Json(int status, std::string body) {
  return {status, "application/json", std::move(body), false};
}

WebResponse Error(int status, const std::string& text) {
  return Json(status, ErrorBody(text));
}

// A decimal number of digits only, at most max; nullopt for anything else.
std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t max) {
  if (text.empty() || text.size() > kMaxDecimalDigits) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (digit > max || value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

using Members = std::map<std::string, FlatJsonValue>;

// The members of a body that has exactly the keys required and no others but those optional.
std::optional<Members> BodyMembers(const std::string& body,
                                   std::initializer_list<const char*> required,
                                   std::initializer_list<const char*> optional = {}) {
  FlatJson json = ReadFlatJson(body);
  if (json.fault != FlatJson::Fault::kNone) return std::nullopt;
  size_t known = 0;
  for (const char* key : required) {
    if (json.members.count(key) == 0) return std::nullopt;
    ++known;
  }
  for (const char* key : optional) known += json.members.count(key);
  if (known != json.members.size()) return std::nullopt;
  return std::move(json.members);
}

// A member that must be a JSON number from min to max.
std::optional<uint64_t> NumberMember(const Members& members, const char* key, uint64_t min,
                                     uint64_t max) {
  const FlatJsonValue& member = members.at(key);
  if (member.kind != FlatJsonValue::Kind::kNumber || member.number < min || member.number > max)
    return std::nullopt;
  return member.number;
}

// The member "hex": a string of min_bytes to max_bytes bytes.
std::optional<std::vector<uint8_t>> HexMember(const Members& members, size_t min_bytes,
                                              size_t max_bytes) {
  const FlatJsonValue& member = members.at("hex");
  if (member.kind != FlatJsonValue::Kind::kString || member.text.size() < 2 * min_bytes ||
      member.text.size() / 2 > max_bytes)
    return std::nullopt;
  return HexBytes(member.text);
}

bool SameOrigin(const WebRequest& request) {
  return !request.origin || (!request.host.empty() && *request.origin == "http://" + request.host);
}

bool IsAddress(const std::string& name, int family) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(family, name.c_str(), address) == 1;
}

// ":PORT" or nothing, after the host in a Host header.
bool IsPortSuffix(const std::string& rest) {
  if (rest.empty()) return true;
  return rest.size() >= 2 && rest.size() <= 6 && rest[0] == ':' &&
         std::all_of(rest.begin() + 1, rest.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A Host header that names an address, localhost or the machine exactly: any other name may be
// one that a site elsewhere made point here (DNS rebinding), to read or write as if it were this
// page's own.
bool KnownHost(const WebRequest& request, const std::vector<std::string>& own_names) {
  const std::string& host = request.host;
  if (host.front() == '[') {
    const size_t end = host.find(']');
    return end != std::string::npos && IsAddress(host.substr(1, end - 1), AF_INET6) &&
           IsPortSuffix(host.substr(end + 1));
  }
  const size_t colon = std::min(host.find(':'), host.size());
  if (!IsPortSuffix(host.substr(colon))) return false;
  const std::string name = Lowercase(host.substr(0, colon));
  if (name == "localhost" || IsAddress(name, AF_INET)) return true;
  return std::any_of(own_names.begin(), own_names.end(),
                     [&name](const std::string& own) { return !own.empty() && name == own; });
}

bool IsJsonContent(const std::string& content_type) {
  std::string media = Lowercase(content_type.substr(0, content_type.find(';')));
  media.erase(std::remove(media.begin(), media.end(), ' '), media.end());
  return media == "application/json";
}

// The query's value of key; "" when absent; nullopt when given twice.
std::optional<std::string> QueryValue(const WebRequest& request, const std::string& key) {
  std::optional<std::string> found;
  for (const auto& [name, value] : request.query) {
    if (name != key) continue;
    if (found) return std::nullopt;
    found = value;
  }
  return found.value_or("");
}

// What a path names: a read-only resource, or a device and what of it.
enum class Resource {
  kNone,
  kAsset,
  kInfo,
  kPorts,
  kDevices,
  kDevice,
  kEvents,
  kStream,
  kOutputs,
  kAttribute
};

struct Target {
  Resource resource = Resource::kNone;
  std::string_view mac_text;  // kDevice, kOutputs, kAttribute
};

Target TargetOf(std::string_view path) {
  static const std::pair<std::string_view, Resource> fixed[] = {
      {"/api/info", Resource::kInfo},
      {"/api/ports", Resource::kPorts},
      {"/api/devices", Resource::kDevices},
      {"/api/events", Resource::kEvents},
      {"/api/stream", Resource::kStream}};
  for (const auto& [name, resource] : fixed)
    if (path == name) return {resource, {}};
  if (FindWebAsset(path) != nullptr) return {Resource::kAsset, {}};
  if (path.substr(0, kDevicesPrefix.size()) != kDevicesPrefix) return {};
  std::string_view rest = path.substr(kDevicesPrefix.size());
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return {Resource::kDevice, rest};
  const std::string_view what = rest.substr(slash + 1);
  if (what == "outputs") return {Resource::kOutputs, rest.substr(0, slash)};
  if (what == "attribute") return {Resource::kAttribute, rest.substr(0, slash)};
  return {};
}

// The query keys a resource takes.
std::vector<std::string_view> QueryKeys(Resource resource) {
  switch (resource) {
    case Resource::kPorts:
      return {"history"};
    case Resource::kEvents:
      return {"after"};
    case Resource::kDevice:
    case Resource::kOutputs:
    case Resource::kAttribute:
      return {"port"};
    default:
      return {};
  }
}

// The first query key the resource does not take; nullopt when there is none.
std::optional<std::string> UnknownQueryKey(const WebRequest& request, Resource resource) {
  const std::vector<std::string_view> keys = QueryKeys(resource);
  for (const auto& [name, value] : request.query)
    if (std::find(keys.begin(), keys.end(), name) == keys.end()) return name;
  return std::nullopt;
}

bool IsWrite(Resource resource) {
  return resource == Resource::kOutputs || resource == Resource::kAttribute;
}

// The device the path and the query name, or the 400 that says why not.
std::optional<DeviceRef> DeviceOf(const WebRequest& request, std::string_view mac_text,
                                  WebResponse& refusal) {
  const auto mac = ParseDecimal(mac_text, kMaxMac);
  const auto port = QueryValue(request, "port");
  const auto port_index =
      port && !port->empty() ? ParseDecimal(*port, kMaxPortIndex) : std::optional<uint64_t>(0);
  if (!mac) {
    refusal = Error(400, "a device is named by its MAC ID, 0 to 63");
    return std::nullopt;
  }
  if (!port || !port_index) {
    refusal = Error(400, "port is the port's place in the scan list, 0 to 7");
    return std::nullopt;
  }
  return DeviceRef{static_cast<size_t>(*port_index), static_cast<uint8_t>(*mac)};
}

WebResponse Outcome(const WriteOutcome& outcome) {
  if (outcome.status == 200) return Json(200, "{\"written\":true}");
  return Error(outcome.status, outcome.error);
}

WebResponse WriteOutputs(const WebRequest& request, DeviceRef device, WebBackend& backend) {
  const auto members = BodyMembers(request.body, {"hex"}, {"offset"});
  if (!members) return Error(400, "the body is {\"hex\":\"..\"} or {\"offset\":K,\"hex\":\"..\"}");
  // No bytes are judged by the device: one without outputs, or an offset beyond them, says so.
  const auto bytes = HexMember(*members, 0, kMaxOutputBytes);
  if (!bytes) return Error(400, "hex is at most 64 bytes as hex digits, two a byte");
  std::optional<size_t> offset;
  if (members->count("offset") != 0) {
    const auto number = NumberMember(*members, "offset", 0, kMaxOutputBytes - 1);
    if (!number) return Error(400, "offset is a number of bytes, 0 to 63");
    offset = static_cast<size_t>(*number);
  }
  return Outcome(backend.WriteOutputs(device, offset, *bytes));
}

WebResponse SetAttribute(const WebRequest& request, DeviceRef device, WebBackend& backend) {
  const auto members = BodyMembers(request.body, {"class", "instance", "attribute", "hex"});
  if (!members)
    return Error(400, "the body is {\"class\":C,\"instance\":I,\"attribute\":A,\"hex\":\"..\"}");
  const auto class_id = NumberMember(*members, "class", 1, 255);
  const auto instance = NumberMember(*members, "instance", 0, 255);
  const auto attribute = NumberMember(*members, "attribute", 1, 255);
  if (!class_id || !instance || !attribute)
    return Error(400, "class and attribute are numbers 1 to 255, instance 0 to 255");
  const auto value = HexMember(*members, 1, kMaxAttributeBytes);
  if (!value) return Error(400, "hex is 1 to 255 bytes as hex digits, two a byte");
  const AttributeWrite write{static_cast<uint8_t>(*class_id), static_cast<uint8_t>(*instance),
                             static_cast<uint8_t>(*attribute), *value};
  return Outcome(backend.SetAttribute(device, write));
}

WebResponse Write(const WebRequest& request, const Target& target, WebBackend& backend) {
  if (request.body.size() > kMaxRequestBody) return Error(413, "a body holds at most 4 KiB");
  if (!IsJsonContent(request.content_type)) return Error(415, "a write's body is application/json");
  if (!backend.WriteAllowed()) return Error(403, "read-only: start dnm run with --http-write");
  WebResponse refusal;
  const auto device = DeviceOf(request, target.mac_text, refusal);
  if (!device) return refusal;
  return target.resource == Resource::kOutputs ? WriteOutputs(request, *device, backend)
                                               : SetAttribute(request, *device, backend);
}

WebResponse Read(const WebRequest& request, const Target& target, WebBackend& backend) {
  switch (target.resource) {
    case Resource::kAsset: {
      const WebAsset& asset = *FindWebAsset(request.path);
      return {200, std::string(asset.content_type), std::string(asset.body), false};
    }
    case Resource::kInfo:
      return Json(200, backend.Info());
    case Resource::kPorts: {
      const auto history = QueryValue(request, "history");
      if (!history || (*history != "" && *history != "0" && *history != "1"))
        return Error(400, "history is 0 or 1");
      return Json(200, backend.Ports(*history == "1"));
    }
    case Resource::kDevices:
      return Json(200, backend.Devices());
    case Resource::kDevice: {
      WebResponse refusal;
      const auto device = DeviceOf(request, target.mac_text, refusal);
      if (!device) return refusal;
      if (auto found = backend.Device(*device)) return Json(200, std::move(*found));
      return Error(404, "no device " + std::to_string(device->mac) + " on port " +
                            std::to_string(device->port_index) + " in the list run now");
    }
    case Resource::kEvents: {
      const auto after = QueryValue(request, "after");
      if (!after) return Error(400, "after is given once");
      if (after->empty()) return Json(200, backend.Events(std::nullopt));
      const auto seq = ParseDecimal(*after, UINT64_MAX);
      if (!seq) return Error(400, "after is an event's seq, a number");
      return Json(200, backend.Events(*seq));
    }
    case Resource::kStream:
      return {200, "text/event-stream", "", true};
    default:
      return Error(404, "no such page");
  }
}

}  // namespace

WebResponse HandleWebRequest(const WebRequest& request, WebBackend& backend) {
  // Without a Host nothing tells which name the client reached this machine by.
  if (request.host.empty()) return Error(400, "a request names its Host");
  if (!SameOrigin(request)) return Error(403, "cross-origin request refused");
  if (!KnownHost(request, backend.OwnNames()))
    return Error(403, "Host names none of this machine's addresses or names");
  const Target target = TargetOf(request.path);
  if (target.resource == Resource::kNone) return Error(404, "no such page");
  const bool write = IsWrite(target.resource);
  const bool read_method = request.method == "GET" || request.method == "HEAD";
  if (write ? request.method != "POST" : !read_method)
    return Error(405, request.method + " is not taken here");
  if (const auto unknown = UnknownQueryKey(request, target.resource))
    return Error(400, "unknown query key '" + *unknown + "' for " + request.path);
  return write ? Write(request, target, backend) : Read(request, target, backend);
}

std::string ErrorBody(const std::string& text) {
  return "{\"error\":" + JsonString(text) + "}";
}

std::string Lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace dnm::tool
