#include "PortNode.h"

#include <string>

#include "BitTiming.h"
#include "Segment.h"

namespace vcan {

PortNode::PortNode(int board, int driver_port, Segment& segment, size_t rx_capacity)
    : Node(std::to_string(board) + "/" + std::to_string(driver_port), segment, kBaud500k),
      rx_capacity_(rx_capacity) {
  set_on_bus(false);
}

void PortNode::GoOffBus() {
  {
    std::lock_guard lock(rx_mutex_);
    set_on_bus(false);
    fifo_.clear();
    overrun_ = false;
  }
  segment().DropPending(*this);
}

void PortNode::GoOnBus() {
  std::lock_guard lock(rx_mutex_);
  set_on_bus(true);
}

int32_t PortNode::Configure(const CANConfig& config) {
  auto baud = BaudFromSelector(config.baud_selector);
  if (!baud) return CAN_SetBaudRateError;
  std::lock_guard lock(rx_mutex_);
  filter_ = AcceptanceFilter::FromConfig(config);
  set_baud(*baud);
  return CAN_NoError;
}

int32_t PortNode::Send(const CANMsg& record) {
  const int32_t code = TransmitRecord(record, Clock::now());
  if (code == CAN_NoError) sent_++;
  return code;
}

// A pending overrun is reported once, before any further frame, so the caller learns that frames
// were lost at the point where they were lost.
int32_t PortNode::Receive(CANMsg& record) {
  std::lock_guard lock(rx_mutex_);
  if (overrun_) {
    overrun_ = false;
    return CAN_DataOverrun;
  }
  if (fifo_.empty()) return CAN_ReceiveBufferEmpty;
  record = RecordFromFrame(fifo_.front());
  fifo_.pop_front();
  return CAN_NoError;
}

int32_t PortNode::PendingCount() const {
  std::lock_guard lock(rx_mutex_);
  return static_cast<int32_t>(fifo_.size());
}

int32_t PortNode::WaitForFrames(std::chrono::milliseconds timeout) {
  std::unique_lock lock(rx_mutex_);
  rx_cv_.wait_for(lock, timeout, [this] { return !fifo_.empty(); });
  return static_cast<int32_t>(fifo_.size());
}

void PortNode::ClearOverrun() {
  std::lock_guard lock(rx_mutex_);
  overrun_ = false;
}

void PortNode::ClearFifo() {
  std::lock_guard lock(rx_mutex_);
  fifo_.clear();
}

bool PortNode::overrun_pending() const {
  std::lock_guard lock(rx_mutex_);
  return overrun_;
}

PortStats PortNode::Stats() const {
  std::lock_guard lock(rx_mutex_);
  return PortStats{sent_.load(), received_, filtered_, overrun_drops_.load()};
}

void PortNode::OnFrame(const Frame& frame) {
  {
    std::lock_guard lock(rx_mutex_);
    if (!on_bus()) return;
    if (!filter_.Accepts(frame.id)) {
      filtered_++;
      return;
    }
    if (fifo_.size() >= rx_capacity_) {
      overrun_ = true;
      overrun_drops_++;
      return;
    }
    fifo_.push_back(frame);
    received_++;
  }
  rx_cv_.notify_all();
}

}  // namespace vcan
