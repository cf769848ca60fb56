// Where a device's explicit requests go and its answers come from: the
// group-2 identifiers, or group 3 for a device whose explicit connection is
// opened through UCMM.
#pragma once

#include <cstdint>

namespace dnm {

constexpr uint8_t kFragmentFlag = 0x80;

struct ExplicitRoute {
  uint32_t request_id;
  uint32_t response_id;
  uint8_t request_mac;   // MAC ID in the header of the master's requests
  uint8_t response_mac;  // MAC ID in the header of the device's answers

  static ExplicitRoute For(uint8_t master, uint8_t device, bool ucmm) {
    if (ucmm) return {0x600u + master, 0x600u + device, device, master};
    return {0x404u + device * 8u, 0x403u + device * 8u, master, master};
  }
};

}  // namespace dnm
