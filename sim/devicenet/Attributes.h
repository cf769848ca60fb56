// The attributes of one object instance, as Get_Attribute_Single and Set_Attribute_Single see
// them. AttributeTable serves objects with a fixed set of attributes and does the checks they
// share: unknown attribute, read-only attribute, wrong value size.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "Protocol.h"

namespace dnsim {

struct AttributeReply {
  uint8_t status = kSuccess;
  Bytes value;  // on success
};

class AttributeSet {
 public:
  virtual ~AttributeSet() = default;
  virtual AttributeReply Get(uint8_t id) const = 0;
  // A general status: kSuccess or the reason for refusing.
  virtual uint8_t Set(uint8_t id, std::span<const uint8_t> value) = 0;
};

class AttributeTable final : public AttributeSet {
 public:
  using Getter = std::function<Bytes()>;
  // Called with a value of the declared size; may still refuse it.
  using Setter = std::function<uint8_t(std::span<const uint8_t>)>;

  AttributeTable& ReadOnly(uint8_t id, Getter get);
  AttributeTable& Settable(uint8_t id, size_t size, Getter get, Setter set);

  AttributeReply Get(uint8_t id) const override;
  uint8_t Set(uint8_t id, std::span<const uint8_t> value) override;

 private:
  struct Entry {
    uint8_t id;
    Getter get;
    Setter set;  // empty: read-only
    size_t size;
  };
  const Entry* Find(uint8_t id) const;

  std::vector<Entry> entries_;
};

}  // namespace dnsim
