#include "Node.h"

#include "Segment.h"

namespace vcan {

Node::Node(std::string name, Segment& segment, uint32_t baud)
    : name_(std::move(name)), segment_(segment), baud_(baud) {}

SubmitResult Node::Transmit(const Frame& frame, std::optional<TimePoint> room_deadline) {
  return segment_.Submit(*this, frame, room_deadline);
}

int32_t Node::TransmitRecord(const CANMsg& record, std::optional<TimePoint> room_deadline) {
  auto frame = FrameFromRecord(record);
  if (!frame) return CAN_DriverError;
  switch (Transmit(*frame, room_deadline)) {
    case SubmitResult::kQueued:
      return CAN_NoError;
    case SubmitResult::kQueueFull:
      return CAN_TransmitBufferLocked;
    case SubmitResult::kNotOnBus:
      break;
  }
  return CAN_TransmitIncomplete;
}

void Node::ScheduleTimer(Clock::duration delay, int tag) {
  segment_.ScheduleTimer(*this, Clock::now() + delay, tag);
}

}  // namespace vcan
