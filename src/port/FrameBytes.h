// The data bytes a received frame carries: its length, but never more than the eight data
// bytes a frame has, whatever length the driver reports.
#pragma once

#include <cstdint>

#include "VELKCAN.h"

namespace dnm {

constexpr uint8_t kMaxFrameData = 8;

inline uint8_t CarriedBytes(const CANMsg& msg) {
  return msg.len < kMaxFrameData ? msg.len : kMaxFrameData;
}

}  // namespace dnm
