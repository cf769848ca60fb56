// The web view's requests, judged and answered apart from the HTTP library (docs/dnm.1.md, "WEB
// VIEW"): the origin, the method, the path and every number in it, the query and the body are
// checked here before anything is looked up or written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FlatJson.h"
#include "Values.h"

namespace dnm::tool {

constexpr size_t kMaxRequestBody = kMaxFlatJson;

struct WebRequest {
  std::string method;                                      // "GET", "POST"...
  std::string path;                                        // decoded, without the query
  std::vector<std::pair<std::string, std::string>> query;  // decoded
  std::optional<std::string> origin;                       // the Origin header, when sent
  std::string host;                                        // the Host header
  std::string content_type;
  std::string body;
};

struct WebResponse {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  bool stream = false;  // the request is for the live stream, served by the HTTP side
};

// A device of the list run now: the port's place in the list and the MAC ID.
struct DeviceRef {
  size_t port_index = 0;
  uint8_t mac = 0;
};

struct AttributeWrite {
  uint8_t class_id = 0, instance = 0, attribute = 0;
  std::vector<uint8_t> value;
};

// What a write came to: 200, or 400 (outside the device's outputs), 404, 409, with the error.
struct WriteOutcome {
  int status = 200;
  std::string error;
};

// What the requests read and write.
class WebBackend {
 public:
  virtual ~WebBackend() = default;
  virtual bool WriteAllowed() const = 0;
  // The machine's own names (lowercase), which a Host header may give besides an address and
  // localhost.
  virtual const std::vector<std::string>& OwnNames() const = 0;
  virtual std::string Info() const = 0;
  virtual std::string Ports(bool history) const = 0;
  virtual std::string Devices() const = 0;
  // The device with its failures; nullopt for a device not in the list run now.
  virtual std::optional<std::string> Device(DeviceRef device) const = 0;
  virtual std::string Events(std::optional<uint64_t> after) const = 0;
  // offset nullopt: the bytes are the whole output.
  virtual WriteOutcome WriteOutputs(DeviceRef device, std::optional<size_t> offset,
                                    const std::vector<uint8_t>& bytes) = 0;
  virtual WriteOutcome SetAttribute(DeviceRef device, const AttributeWrite& write) = 0;
};

WebResponse HandleWebRequest(const WebRequest& request, WebBackend& backend);

// {"error":"text"}
std::string ErrorBody(const std::string& text);

// The text with ASCII letters in lowercase.
std::string Lowercase(std::string text);

}  // namespace dnm::tool
