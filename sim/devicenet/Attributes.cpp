#include "Attributes.h"

namespace dnsim {

AttributeTable& AttributeTable::ReadOnly(uint8_t id, Getter get) {
  entries_.push_back(Entry{id, std::move(get), nullptr, 0});
  return *this;
}

AttributeTable& AttributeTable::Settable(uint8_t id, size_t size, Getter get, Setter set) {
  entries_.push_back(Entry{id, std::move(get), std::move(set), size});
  return *this;
}

const AttributeTable::Entry* AttributeTable::Find(uint8_t id) const {
  for (const Entry& entry : entries_) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}

AttributeReply AttributeTable::Get(uint8_t id) const {
  const Entry* entry = Find(id);
  if (entry == nullptr) return {kAttributeNotSupported, {}};
  return {kSuccess, entry->get()};
}

uint8_t AttributeTable::Set(uint8_t id, std::span<const uint8_t> value) {
  const Entry* entry = Find(id);
  if (entry == nullptr) return kAttributeNotSupported;
  if (!entry->set) return kAttributeNotSettable;
  if (value.size() < entry->size) return kNotEnoughData;
  if (value.size() > entry->size) return kTooMuchData;
  return entry->set(value);
}

}  // namespace dnsim
