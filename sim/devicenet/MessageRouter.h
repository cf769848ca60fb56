// Serves explicit requests addressed to the slave's objects (message body format 8/8: class and
// instance one byte each):
//   Get_Attribute_Single [0x0E, class, instance, attribute] → [0x8E, value...]
//   Set_Attribute_Single [0x10, class, instance, attribute, value...] → [0x90]
//   Allocate [0x4B, 3, 1, choice, allocator MAC] → [0xCB, 0x00 (message body format 8/8)]
//   Release [0x4C, 3, 1, choice] → [0xCC]
// Failures answer [0x94, general status, 0xFF]. Objects: Identity (1), DeviceNet (3),
// Connection (5; instances 1-4 of the predefined set, from 7 those opened through UCMM) and
// the application object (0x64), instance 1 each.
#pragma once

#include "ApplicationObject.h"
#include "Attributes.h"
#include "PredefinedSet.h"
#include "SlaveContext.h"
#include "SlaveSettings.h"
#include "Ucmm.h"

namespace dnsim {

class MessageRouter final : public ExplicitServer {
 public:
  MessageRouter(SlaveContext& context, const SlaveSettings& settings, uint32_t baud,
                PredefinedSet& set, Ucmm& ucmm);

  Bytes Serve(std::span<const uint8_t> request, uint8_t requester) override;
  // A group-2-only unconnected request: only allocate and release are served there.
  Bytes ServeUnconnected(std::span<const uint8_t> request, uint8_t requester);

  ApplicationObject& application() { return application_; }
  const ApplicationObject& application() const { return application_; }

 private:
  Bytes GetAttribute(std::span<const uint8_t> request);
  Bytes SetAttribute(std::span<const uint8_t> request);
  Bytes Allocate(std::span<const uint8_t> request);
  Bytes Release(std::span<const uint8_t> request, uint8_t requester);
  uint8_t ConnectionSetPathStatus(std::span<const uint8_t> request, size_t size);
  AttributeSet* FindInstance(uint8_t class_id, uint8_t instance);

  SlaveContext& context_;
  PredefinedSet& set_;
  Ucmm& ucmm_;
  AttributeTable identity_;
  AttributeTable devicenet_;
  ApplicationObject application_;
};

}  // namespace dnsim
