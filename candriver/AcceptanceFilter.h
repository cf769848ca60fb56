// The receive acceptance filter of a port, in the style of a single-filter controller: the
// first 11 bits of the acceptance code and mask (code bytes 0 and 1, high bits first) apply to
// the identifier; a mask bit of 1 means "don't care". The RTR and data bits that such a filter
// could also compare are not used, so an all-0xFF mask accepts every frame.
#pragma once

#include <cstdint>

#include "VELKCAN.h"

namespace vcan {

struct AcceptanceFilter {
  uint32_t code = 0;
  uint32_t mask = 0x7FF;

  static AcceptanceFilter FromConfig(const CANConfig& config) {
    return AcceptanceFilter{IdentifierBits(config.acceptance_code),
                            IdentifierBits(config.acceptance_mask)};
  }

  bool Accepts(uint32_t id) const { return ((id ^ code) & ~mask & 0x7FF) == 0; }

 private:
  static uint32_t IdentifierBits(const uint8_t bytes[4]) {
    return (uint32_t{bytes[0]} << 3) | (uint32_t{bytes[1]} >> 5);
  }
};

}  // namespace vcan
