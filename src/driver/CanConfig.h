// The controller configuration for a DeviceNet baud code: accept every
// frame, bit timing for 500, 250 or 125 kbit/s with a 16 MHz controller.
#pragma once

#include <cstdint>

#include "VELKCAN.h"

namespace dnm {

inline CANConfig MakeCANConfig(uint8_t baud) {
  struct Rate {
    uint8_t selector, timing0, timing1;
  };
  constexpr Rate kRates[3] = {{6, 0x00, 0x1C}, {5, 0x01, 0x1C}, {4, 0x03, 0x1C}};
  const Rate& rate = kRates[baud < 3 ? baud : 0];
  return CANConfig{{0x00, 0x00, 0x00, 0x00},
                   {0xFF, 0xFF, 0xFF, 0xFF},
                   rate.selector,
                   rate.timing0,
                   rate.timing1};
}

}  // namespace dnm
