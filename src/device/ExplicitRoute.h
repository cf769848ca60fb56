// Where a device's explicit requests go and its answers come from: the
// group-2 identifiers, or group 3 for a device whose explicit connection is
// opened through UCMM.
#pragma once

#include <cstdint>

#include "port/Identifiers.h"

namespace dnm {

constexpr uint8_t kFragmentFlag = 0x80;

struct ExplicitRoute {
  uint32_t request_id;
  uint32_t response_id;
  uint8_t request_mac;   // MAC ID in the header of the master's requests
  uint8_t response_mac;  // MAC ID in the header of the device's answers

  static ExplicitRoute For(uint8_t master, uint8_t device, bool ucmm) {
    // UCMM: group 3 message ID 0 from each end; group 2: the master's
    // explicit request (message ID 4) and the device's answer (3).
    if (ucmm) return {Group3Id(0, master), Group3Id(0, device), device, master};
    return {Group2Id(device, 4), Group2Id(device, 3), master, master};
  }
};

}  // namespace dnm
