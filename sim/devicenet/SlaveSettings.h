// What a `slave` line of the network description configures (see docs/virtual-card.md).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "Behaviour.h"
#include "Protocol.h"

namespace dnsim {

struct SlaveIdentity {
  uint16_t vendor = 0x1D2C;
  uint16_t device_type = 0x0007;
  uint16_t product_code = 0x0001;
  uint8_t revision_major = 1;
  uint8_t revision_minor = 1;
  uint32_t serial = 0x00A1B2C3;
  std::string product = "Virtual IO Block";  // at most kMaxProductName characters
};

inline constexpr size_t kMaxProductName = 32;

struct IoSettings {
  uint8_t supported = kChoiceIo;  // choice bits of the I/O connections offered
  uint16_t produced_size = 2;
  uint16_t consumed_size = 2;
  std::optional<uint16_t> strobe_produced_size;  // none: the produced size, at most 8
};

struct SlaveSettings {
  uint8_t mac = 0;
  SlaveIdentity identity;
  bool ucmm = false;
  IoSettings io;
  std::map<uint8_t, Bytes> attributes;     // application object, class 0x64 instance 1
  bool check = false;                      // send one duplicate MAC ID check of its own
  bool faulted = false;                    // starts communication faulted (offline set only)
  std::chrono::milliseconds check_at{50};  // after the first frame heard
  BehaviourUpdate behaviour;
};

}  // namespace dnsim
