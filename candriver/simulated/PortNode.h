// A driver port on a simulated segment: a node whose frames come from CAN_SendMsg and whose
// received frames wait in the port's receive FIFO for CAN_ReceiveMsg. Off the bus after
// CAN_Reset and until CAN_Init.
#pragma once

#include <mutex>

#include "DriverPort.h"
#include "Node.h"

namespace vcan {

class PortNode final : public Node, public FifoPort {
 public:
  // driver_port counts from 1.
  PortNode(int board, int driver_port, Segment& segment, size_t rx_capacity);

  void GoOffBus() override;
  int32_t GoOnBus() override;
  int32_t Configure(const CANConfig& config) override;
  int32_t Send(const CANMsg& record) override;
  int32_t Status() const override;
  bool IsOnBus() const override { return on_bus(); }
  uint32_t BitRate() const override { return baud(); }
  Segment* SimulatedSegment() override { return &segment(); }

  void OnFrame(const Frame& frame) override;
  uint64_t overrun_drops() const override { return fifo_.Stats(0).overrun_drops; }

 private:
  // Keeps a frame that is being delivered from landing after the port went off the bus.
  std::mutex bus_mutex_;
};

}  // namespace vcan
