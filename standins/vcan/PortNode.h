// A driver port: a node whose frames come from CAN_SendMsg and whose received frames wait in a
// bounded FIFO for CAN_ReceiveMsg. Off the bus after CAN_Reset and until CAN_Init.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "AcceptanceFilter.h"
#include "Node.h"

namespace vcan {

struct PortStats {
  uint64_t sent = 0;
  uint64_t received = 0;
  uint64_t filtered = 0;
  uint64_t overrun_drops = 0;
};

class PortNode final : public Node {
 public:
  static constexpr size_t kDefaultRxCapacity = 512;

  // driver_port counts from 1.
  PortNode(int board, int driver_port, Segment& segment, size_t rx_capacity);

  void GoOffBus();  // drops what it has queued to send and what it has received
  void GoOnBus();
  int32_t Configure(const CANConfig& config);
  int32_t Send(const CANMsg& record);
  int32_t Receive(CANMsg& record);
  int32_t PendingCount() const;
  int32_t WaitForFrames(std::chrono::milliseconds timeout);
  void ClearOverrun();
  void ClearFifo();
  bool overrun_pending() const;
  PortStats Stats() const;

  void OnFrame(const Frame& frame) override;
  uint64_t overrun_drops() const override { return overrun_drops_.load(); }

 private:
  const size_t rx_capacity_;
  mutable std::mutex rx_mutex_;
  std::condition_variable rx_cv_;
  std::deque<Frame> fifo_;
  bool overrun_ = false;
  AcceptanceFilter filter_;
  uint64_t received_ = 0;
  uint64_t filtered_ = 0;
  std::atomic<uint64_t> overrun_drops_{0};
  std::atomic<uint64_t> sent_{0};
};

}  // namespace vcan
