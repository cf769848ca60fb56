// dnm scan: the devices that answer, with their identities.
#include <cstdio>
#include <optional>

#include "Commands.h"
#include "Diagnosis.h"
#include "Explain.h"
#include "Json.h"
#include "Session.h"
#include "Values.h"

namespace dnm::tool {
namespace {

constexpr uint8_t kIdentityClass = 0x01;
// Attributes of the Identity object.
enum : uint8_t {
  kVendorId = 1,
  kDeviceType = 2,
  kProductCode = 3,
  kRevision = 4,
  kSerialNumber = 6,
  kProductName = 7
};

// The Identity object's attributes; a value is empty when it could not be read.
struct Identity {
  std::optional<uint32_t> vendor, device_type, product_code, serial;
  std::string revision, product_name;
};

std::optional<std::vector<uint8_t>> ReadIdentityAttribute(const Session& session, uint8_t mac,
                                                          uint8_t attribute) {
  uint8_t value[255];
  uint32_t length = 0;
  const uint16_t code =
      api().DNM_GetAttributeEx(session.board(), session.port(), mac, kIdentityClass, 1, attribute,
                               value, sizeof value, &length);
  if (code != DNM_NoError) return std::nullopt;
  return std::vector<uint8_t>(value, value + length);
}

std::optional<uint32_t> ReadNumber(const Session& session, uint8_t mac, uint8_t attribute,
                                   size_t width) {
  const auto bytes = ReadIdentityAttribute(session, mac, attribute);
  if (!bytes || bytes->size() != width) return std::nullopt;
  return Little(*bytes);
}

Identity ReadIdentity(const Session& session, uint8_t mac) {
  Identity identity{ReadNumber(session, mac, kVendorId, 2),
                    ReadNumber(session, mac, kDeviceType, 2),
                    ReadNumber(session, mac, kProductCode, 2),
                    ReadNumber(session, mac, kSerialNumber, 4),
                    {},
                    {}};
  if (const auto revision = ReadIdentityAttribute(session, mac, kRevision);
      revision && revision->size() == 2) {
    identity.revision = std::to_string((*revision)[0]) + "." + std::to_string((*revision)[1]);
  }
  if (const auto name = ReadIdentityAttribute(session, mac, kProductName))
    ShortString(*name, identity.product_name);
  return identity;
}

constexpr uint8_t kConnectionClass = 0x05;
// Attributes of a Connection object instance.
constexpr uint8_t kProducedSize = 7;
constexpr uint8_t kConsumedSize = 8;

// An I/O connection the device offers: its Connection object instance
// answers with its produced and consumed connection sizes.
struct OfferedConnection {
  const char* name;
  uint32_t produced, consumed;
};

std::optional<uint32_t> ReadConnectionSize(const Session& session, uint8_t mac, uint8_t instance,
                                           uint8_t attribute) {
  uint8_t value[255];
  uint32_t length = 0;
  if (api().DNM_GetAttributeEx(session.board(), session.port(), mac, kConnectionClass, instance,
                               attribute, value, sizeof value, &length) != DNM_NoError ||
      length != 2) {
    return std::nullopt;
  }
  return Little(std::vector<uint8_t>(value, value + length));
}

std::vector<OfferedConnection> ReadOffered(const Session& session, uint8_t mac) {
  const struct {
    uint8_t instance;
    const char* name;
  } instances[] = {{2, "poll"}, {3, "strobe"}, {4, "cos/cyclic"}};
  std::vector<OfferedConnection> offered;
  for (const auto& i : instances) {
    const auto produced = ReadConnectionSize(session, mac, i.instance, kProducedSize);
    const auto consumed = ReadConnectionSize(session, mac, i.instance, kConsumedSize);
    if (produced && consumed) offered.push_back({i.name, *produced, *consumed});
  }
  return offered;
}

// "     offers poll in 4 out 4, strobe in 2 out 8" or its JSON member.
std::string OfferedText(const std::vector<OfferedConnection>& offered, bool json) {
  std::string text;
  for (const OfferedConnection& c : offered) {
    const std::string in = std::to_string(c.produced), out = std::to_string(c.consumed);
    if (json) {
      text += std::string(text.empty() ? "" : ",") + "{\"connection\":" + JsonString(c.name) +
              ",\"produced\":" + in + ",\"consumed\":" + out + "}";
    } else {
      text += (text.empty() ? "" : ", ") + std::string(c.name) + " in " + in + " out " + out;
    }
  }
  if (json) return ",\"connections\":[" + text + "]";
  return "     offers " + (text.empty() ? std::string("no I/O connection") : text) + "\n";
}

std::string Text(const std::optional<uint32_t>& number) {
  return number ? std::to_string(*number) : "?";
}

std::string JsonNumber(const std::optional<uint32_t>& number) {
  return number ? std::to_string(*number) : "null";
}

void PrintRow(uint8_t mac, const Identity& identity) {
  std::printf("%3u  %6s  %4s  %7s  %-8s  %10s  %s\n", unsigned{mac}, Text(identity.vendor).c_str(),
              Text(identity.device_type).c_str(), Text(identity.product_code).c_str(),
              identity.revision.empty() ? "?" : identity.revision.c_str(),
              Text(identity.serial).c_str(), identity.product_name.c_str());
}

// reason: why a device that answers takes no explicit connection, null for a connected one.
std::string JsonOf(uint8_t mac, const Identity& identity, uint16_t status,
                   const std::string& reason) {
  return "{\"mac\":" + std::to_string(mac) + ",\"connected\":" + (status == 0 ? "true" : "false") +
         ",\"reason\":" + (status == 0 ? "null" : JsonString(reason)) +
         ",\"vendor_id\":" + JsonNumber(identity.vendor) +
         ",\"device_type\":" + JsonNumber(identity.device_type) +
         ",\"product_code\":" + JsonNumber(identity.product_code) +
         ",\"revision\":" + JsonString(identity.revision) +
         ",\"serial_number\":" + JsonNumber(identity.serial) +
         ",\"product_name\":" + JsonString(identity.product_name) + "}";
}

// Why a device that answers the duplicate MAC ID check takes no explicit connection.
std::string RefusalOf(const Session& session, uint8_t mac, uint16_t status) {
  const std::string why = DiagnoseDevice(session, mac).cause;
  return why.empty() ? ConnectionStatusWords(status) : why;
}

}  // namespace

int RunScan(const CommandLine& line) {
  ExpectWords(line, 0);
  const bool io = line.Has("--io");
  const Session session(line.common);
  std::vector<uint8_t> macs;
  session.Check("DNM_GetAllDeviceMACID", session.AnsweringMacs(macs));
  if (macs.empty()) {
    throw CallError({"DNM_GetAllDeviceMACID",
                     DNM_NoError,
                     "no device answered",
                     false,
                     0,
                     0,
                     {},
                     NothingAnswersHint()});
  }
  for (const uint8_t mac : macs) {
    session.AddDevice(mac);
    session.Start(mac);
  }
  const auto check = api().DNM_CheckExplicitMsgConnectionStatus;
  session.WaitUntilReady(check, macs, "the explicit connections of the devices");
  std::vector<std::string> json;
  if (!line.common.json) {
    std::printf("MAC  VENDOR  TYPE  PRODUCT  REVISION      SERIAL  NAME\n");
  }
  for (const uint8_t mac : macs) {
    const uint16_t status = check(session.board(), session.port(), mac);
    const Identity identity = status == DNM_NoError ? ReadIdentity(session, mac) : Identity{};
    const std::string offered =
        io && status == DNM_NoError ? OfferedText(ReadOffered(session, mac), line.common.json) : "";
    const std::string why = status == DNM_NoError ? "" : RefusalOf(session, mac, status);
    if (line.common.json) {
      std::string device = JsonOf(mac, identity, status, why);
      json.push_back(device.insert(device.size() - 1, offered));
    } else if (status == DNM_NoError) {
      PrintRow(mac, identity);
      std::printf("%s", offered.c_str());
    } else {
      std::printf("%3u  (answers, but no explicit connection: %s)\n", unsigned{mac}, why.c_str());
    }
  }
  if (line.common.json) {
    std::string devices;
    for (const std::string& device : json) devices += (devices.empty() ? "" : ",") + device;
    std::printf("{\"devices\":[%s]}\n", devices.c_str());
  }
  return kExitOk;
}

}  // namespace dnm::tool
