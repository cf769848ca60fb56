// dnm scan: the devices that answer, with their identities.
#include <cstdio>
#include <optional>

#include "Commands.h"
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

std::string JsonOf(uint8_t mac, const Identity& identity, uint16_t status) {
  return "{\"mac\":" + std::to_string(mac) + ",\"connected\":" + (status == 0 ? "true" : "false") +
         ",\"vendor_id\":" + JsonNumber(identity.vendor) +
         ",\"device_type\":" + JsonNumber(identity.device_type) +
         ",\"product_code\":" + JsonNumber(identity.product_code) +
         ",\"revision\":" + JsonString(identity.revision) +
         ",\"serial_number\":" + JsonNumber(identity.serial) +
         ",\"product_name\":" + JsonString(identity.product_name) + "}";
}

}  // namespace

int RunScan(const CommandLine& line) {
  ExpectWords(line, 0);
  const Session session(line.common);
  uint8_t list[64];
  uint8_t count = 0;
  DNM_CHECKED(session, -1, DNM_GetAllDeviceMACID, session.board(), session.port(), list, &count);
  const std::vector<uint8_t> macs(list, list + count);
  for (const uint8_t mac : macs) {
    session.AddDevice(mac);
    session.Start(mac);
  }
  const auto check = api().DNM_CheckExplicitMsgConnectionStatus;
  session.WaitUntilReady(check, macs);
  std::vector<std::string> json;
  if (!line.common.json) {
    std::printf("MAC  VENDOR  TYPE  PRODUCT  REVISION      SERIAL  NAME\n");
  }
  for (const uint8_t mac : macs) {
    const uint16_t status = check(session.board(), session.port(), mac);
    const Identity identity = status == DNM_NoError ? ReadIdentity(session, mac) : Identity{};
    if (line.common.json) {
      json.push_back(JsonOf(mac, identity, status));
    } else if (status == DNM_NoError) {
      PrintRow(mac, identity);
    } else {
      std::printf("%3u  (answers, but no explicit connection: %s)\n", unsigned{mac},
                  ConnectionStatusWords(status).c_str());
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
