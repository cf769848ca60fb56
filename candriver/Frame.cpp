#include "Frame.h"

#include <cstring>

namespace vcan {

std::optional<Frame> FrameFromRecord(const CANMsg& record) {
  if (record.id > kMaxStandardId || record.len > kMaxDataLength) return std::nullopt;
  Frame frame;
  frame.id = record.id;
  frame.len = record.len;
  frame.rtr = record.rtr != 0;
  if (!frame.rtr) std::memcpy(frame.data.data(), record.data, record.len);
  return frame;
}

CANMsg RecordFromFrame(const Frame& frame) {
  CANMsg record;
  std::memset(&record, 0, sizeof record);
  uint64_t stamp = MicrosecondsOf(frame.end);
  for (auto& byte : record.stamp) {
    byte = static_cast<uint8_t>(stamp);
    stamp >>= 8;
  }
  record.id = frame.id;
  record.rtr = frame.rtr ? 1 : 0;
  record.len = frame.len;
  if (!frame.rtr) std::memcpy(record.data, frame.data.data(), frame.len);
  return record;
}

uint64_t MicrosecondsOf(TimePoint time) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count());
}

}  // namespace vcan
