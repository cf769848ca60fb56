// A node on a CAN segment. The segment's bus thread hands each node every frame it can hear and
// runs its timers; a node sends by queueing frames on its segment, where they compete in
// arbitration. New kinds of simulated devices derive from this class.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Frame.h"

namespace vcan {

class Segment;
enum class SubmitResult;

class Node : public std::enable_shared_from_this<Node> {
 public:
  Node(std::string name, Segment& segment, uint32_t baud);
  virtual ~Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // Called on the bus thread at the end of each frame carried on the segment at this node's baud
  // rate while the node is on the bus, except frames the node sent itself. Must not block.
  virtual void OnFrame(const Frame& frame) = 0;

  // Called on the bus thread when a timer set with ScheduleTimer falls due.
  virtual void OnTimer(int /*tag*/) {}

  // Frames this node lost because its own receive queue was full.
  virtual uint64_t overrun_drops() const { return 0; }

  const std::string& name() const { return name_; }
  Segment& segment() const { return segment_; }
  uint32_t baud() const { return baud_.load(); }
  bool on_bus() const { return on_bus_.load(); }

 protected:
  void set_baud(uint32_t baud) { baud_.store(baud); }
  void set_on_bus(bool on_bus) { on_bus_.store(on_bus); }

  // Queues a frame for transmission. Without a deadline waits as long as the node's transmit
  // queue is full; with one, gives up at the deadline (a past deadline: don't wait).
  SubmitResult Transmit(const Frame& frame, std::optional<TimePoint> room_deadline);

  // Transmit for a driver record, with the result as a driver code: 0 queued, 1 not a frame the
  // card can send, 16 transmit queue full, 17 not on the bus.
  int32_t TransmitRecord(const CANMsg& record, std::optional<TimePoint> room_deadline);

  void ScheduleTimer(Clock::duration delay, int tag);

 private:
  const std::string name_;
  Segment& segment_;
  std::atomic<uint32_t> baud_;
  std::atomic<bool> on_bus_{true};
};

}  // namespace vcan
