#include "StandardObjects.h"

namespace dnsim {
namespace {

constexpr uint16_t kStatusOwned = 0x0001;
constexpr uint8_t kNoMaster = 0xFF;

uint8_t BaudCode(uint32_t baud) {
  if (baud <= 125000) return 0;
  return baud <= 250000 ? 1 : 2;
}

Bytes ShortString(const std::string& text) {
  Bytes out;
  out.reserve(1 + text.size());
  out.push_back(static_cast<uint8_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

}  // namespace

AttributeTable IdentityAttributes(const SlaveIdentity& identity, const PredefinedSet& set) {
  AttributeTable table;
  table.ReadOnly(1, [&identity] { return Le(identity.vendor, 2); })
      .ReadOnly(2, [&identity] { return Le(identity.device_type, 2); })
      .ReadOnly(3, [&identity] { return Le(identity.product_code, 2); })
      .ReadOnly(4,
                [&identity] {
                  return Bytes{identity.revision_major, identity.revision_minor};
                })
      .ReadOnly(5, [&set] { return Le(set.master() ? kStatusOwned : 0, 2); })
      .ReadOnly(6, [&identity] { return Le(identity.serial, 4); })
      .ReadOnly(7, [&identity] { return ShortString(identity.product); });
  return table;
}

AttributeTable DeviceNetAttributes(uint8_t mac, uint32_t baud, const PredefinedSet& set) {
  AttributeTable table;
  table.ReadOnly(1, [mac] { return Bytes{mac}; })
      .ReadOnly(2, [baud] { return Bytes{BaudCode(baud)}; })
      .ReadOnly(5, [&set] {
        return Bytes{set.allocated(), set.master().value_or(kNoMaster)};
      });
  return table;
}

}  // namespace dnsim
