#include "ApplicationObject.h"

namespace dnsim {

AttributeReply ApplicationObject::Get(uint8_t id) const {
  const auto it = values_.find(id);
  if (it == values_.end()) return {kAttributeNotSupported, {}};
  return {kSuccess, it->second};
}

uint8_t ApplicationObject::Set(uint8_t id, std::span<const uint8_t> value) {
  if (id == 0) return kAttributeNotSupported;
  if (value.empty()) return kNotEnoughData;
  if (value.size() > kMaxValueSize) return kTooMuchData;
  values_[id] = Bytes(value.begin(), value.end());
  return kSuccess;
}

}  // namespace dnsim
