// Any request to the web view, as lines: method, path, query (KEY=VALUE&...), Origin ("-" for
// none), Host, Content-Type, then the body. Whatever it holds, what reaches a write has been
// judged: the origin is the server's own, writes are allowed, and every number and byte count is
// in its range; the answer's status is one the API gives.
#include <set>
#include <sstream>
#include <string>

#include "WebRequests.h"

namespace {

using namespace dnm::tool;

[[noreturn]] void Broken() {
  __builtin_trap();
}

void CheckDevice(DeviceRef device) {
  if (device.mac > 63 || device.port_index > 7) Broken();
}

class JudgingBackend final : public WebBackend {
 public:
  JudgingBackend(const WebRequest& request, bool write) : request_(request), write_(write) {}

  bool WriteAllowed() const override { return write_; }
  const std::vector<std::string>& OwnNames() const override { return names_; }
  std::string Info() const override { return "{}"; }
  std::string Ports(bool) const override { return "{}"; }
  std::string Devices() const override { return "{}"; }
  std::optional<std::string> Device(DeviceRef device) const override {
    CheckDevice(device);
    if (device.mac % 2 == 0) return std::nullopt;
    return "{}";
  }
  std::string Events(std::optional<uint64_t>) const override { return "{}"; }
  WriteOutcome WriteOutputs(DeviceRef device, std::optional<size_t> offset,
                            const std::vector<uint8_t>& bytes) override {
    CheckWrite(device);
    if (bytes.empty() || bytes.size() > 64 || (offset && *offset > 63)) Broken();
    return {};
  }
  WriteOutcome SetAttribute(DeviceRef device, const AttributeWrite& write) override {
    CheckWrite(device);
    if (write.class_id == 0 || write.attribute == 0 || write.value.empty() ||
        write.value.size() > 255)
      Broken();
    return {409, "refused"};
  }

 private:
  void CheckWrite(DeviceRef device) const {
    CheckDevice(device);
    if (!write_ || request_.method != "POST" || request_.body.size() > kMaxRequestBody) Broken();
    if (request_.origin && *request_.origin != "http://" + request_.host) Broken();
  }

  const WebRequest& request_;
  bool write_;
  std::vector<std::string> names_{"plant-pc"};
};

std::string Line(std::istream& in) {
  std::string line;
  std::getline(in, line);
  return line;
}

WebRequest RequestOf(const std::string& text) {
  std::istringstream in(text);
  WebRequest request;
  request.method = Line(in);
  request.path = Line(in);
  std::istringstream query(Line(in));
  for (std::string item; std::getline(query, item, '&');) {
    const size_t equals = item.find('=');
    request.query.emplace_back(item.substr(0, equals),
                               equals == std::string::npos ? "" : item.substr(equals + 1));
  }
  if (std::string origin = Line(in); origin != "-") request.origin = origin;
  request.host = Line(in);
  request.content_type = Line(in);
  request.body.assign(std::istreambuf_iterator<char>(in), {});
  return request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const WebRequest request =
      RequestOf(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  JudgingBackend backend(request, data[0] & 1);
  const WebResponse response = HandleWebRequest(request, backend);
  static const std::set<int> kStatuses = {200, 400, 403, 404, 405, 409, 413, 415};
  if (kStatuses.count(response.status) == 0 || response.body.empty() != response.stream) Broken();
  return 0;
}
