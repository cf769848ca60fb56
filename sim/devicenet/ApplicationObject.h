// Application object (class 0x64, instance 1): byte-string attributes that a test configures or
// a master writes. Any attribute from 1 to 255 may be set, which creates it; a value is 1 to
// 255 bytes and a Set of another length replaces it whole. Getting an attribute never set is
// refused as not supported.
#pragma once

#include <map>
#include <optional>

#include "Attributes.h"

namespace dnsim {

class ApplicationObject final : public AttributeSet {
 public:
  static constexpr size_t kMaxValueSize = 255;

  explicit ApplicationObject(std::map<uint8_t, Bytes> initial) : values_(std::move(initial)) {}

  AttributeReply Get(uint8_t id) const override;
  uint8_t Set(uint8_t id, std::span<const uint8_t> value) override;

 private:
  std::map<uint8_t, Bytes> values_;
};

}  // namespace dnsim
