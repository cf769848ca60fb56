#include "PortNode.h"

#include <string>

#include "BitTiming.h"
#include "Segment.h"

namespace vcan {

PortNode::PortNode(int board, int driver_port, Segment& segment, size_t rx_capacity)
    : Node(std::to_string(board) + "/" + std::to_string(driver_port), segment, kBaud500k),
      FifoPort(rx_capacity) {
  set_on_bus(false);
}

void PortNode::GoOffBus() {
  {
    std::lock_guard lock(bus_mutex_);
    set_on_bus(false);
    fifo_.Clear();
  }
  segment().DropPending(*this);
}

// A shared segment that no process hosts has no bus to go on, as a SocketCAN interface that
// cannot be opened.
int32_t PortNode::GoOnBus() {
  if (!segment().reachable()) return CAN_InitError;
  std::lock_guard lock(bus_mutex_);
  set_on_bus(true);
  return CAN_NoError;
}

int32_t PortNode::Configure(const CANConfig& config) {
  auto baud = BaudFromSelector(config.baud_selector);
  if (!baud) return CAN_SetBaudRateError;
  fifo_.SetFilter(AcceptanceFilter::FromConfig(config));
  set_baud(*baud);
  return CAN_NoError;
}

int32_t PortNode::Send(const CANMsg& record) {
  const int32_t code = TransmitRecord(record, Clock::now());
  if (code == CAN_NoError) sent_++;
  return code;
}

int32_t PortNode::Status() const {
  if (!on_bus() || !segment().reachable()) return CAN_ResetError;
  return fifo_.overrun_pending() ? CAN_DataOverrun : CAN_NoError;
}

void PortNode::OnFrame(const Frame& frame) {
  std::lock_guard lock(bus_mutex_);
  if (on_bus()) fifo_.Put(frame);
}

}  // namespace vcan
