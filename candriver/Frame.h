// One standard CAN frame as it travels inside the card, and its conversion to and from the
// driver's 32-byte record.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "VELKCAN.h"

namespace vcan {

// steady_clock is CLOCK_MONOTONIC, the clock of the receive time stamps.
using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

inline constexpr uint32_t kMaxStandardId = 0x7FF;
inline constexpr uint8_t kMaxDataLength = 8;

struct Frame {
  uint32_t id = 0;
  uint8_t len = 0;
  bool rtr = false;
  std::array<uint8_t, kMaxDataLength> data{};
  TimePoint end{};  // end of the frame on the bus; set by the segment that carries it
};

// The frame a driver record describes, or nullopt when the card cannot send it (identifier
// beyond 11 bits, length above 8).
std::optional<Frame> FrameFromRecord(const CANMsg& record);

// The record handed to a receiver: stamp = end of frame in microseconds (uint64 LE), mode 0,
// every byte that is not part of the frame zeroed.
CANMsg RecordFromFrame(const Frame& frame);

uint64_t MicrosecondsOf(TimePoint time);

}  // namespace vcan
