// A node driven by a test through the VCAN_ interface: it sends frames like any node and keeps
// every frame it hears in a queue that the test reads with a timeout.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "Node.h"

namespace vcan {

class TestNode final : public Node {
 public:
  static constexpr size_t kRxCapacity = 65536;

  TestNode(std::string name, Segment& segment, uint32_t baud);

  // Waits up to timeout for room in the transmit queue.
  int32_t Send(const CANMsg& record, std::chrono::milliseconds timeout);
  int32_t Receive(CANMsg& record, std::chrono::milliseconds timeout);
  int32_t PendingCount() const;

  void OnFrame(const Frame& frame) override;
  uint64_t overrun_drops() const override { return overrun_drops_.load(); }

 private:
  mutable std::mutex mutex_;
  std::condition_variable received_cv_;
  std::deque<Frame> received_;
  std::atomic<uint64_t> overrun_drops_{0};
};

// Test nodes by the handle the test interface hands out.
class TestNodes {
 public:
  // Makes a node on the segment and returns its handle (from 1).
  int32_t Attach(Segment& segment, uint32_t baud);
  std::shared_ptr<TestNode> Find(int32_t handle);
  bool Detach(int32_t handle);

 private:
  std::mutex mutex_;
  std::map<int32_t, std::shared_ptr<TestNode>> nodes_;
  int32_t next_handle_ = 1;
};

}  // namespace vcan
