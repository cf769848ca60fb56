#include "TestNode.h"

#include <string>

#include "Segment.h"

namespace vcan {

TestNode::TestNode(std::string name, Segment& segment, uint32_t baud)
    : Node(std::move(name), segment, baud) {}

int32_t TestNode::Send(const CANMsg& record, std::chrono::milliseconds timeout) {
  return TransmitRecord(record, Clock::now() + timeout);
}

int32_t TestNode::Receive(CANMsg& record, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!received_cv_.wait_for(lock, timeout, [this] { return !received_.empty(); })) {
    return CAN_ReceiveBufferEmpty;
  }
  record = RecordFromFrame(received_.front());
  received_.pop_front();
  return CAN_NoError;
}

int32_t TestNode::PendingCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int32_t>(received_.size());
}

void TestNode::OnFrame(const Frame& frame) {
  {
    std::lock_guard lock(mutex_);
    if (received_.size() >= kRxCapacity) {
      overrun_drops_++;
      return;
    }
    received_.push_back(frame);
  }
  received_cv_.notify_all();
}

int32_t TestNodes::Attach(Segment& segment, uint32_t baud) {
  std::lock_guard lock(mutex_);
  const int32_t handle = next_handle_++;
  auto node = std::make_shared<TestNode>("test" + std::to_string(handle), segment, baud);
  segment.Attach(node);
  nodes_.emplace(handle, std::move(node));
  return handle;
}

std::shared_ptr<TestNode> TestNodes::Find(int32_t handle) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(handle);
  return it == nodes_.end() ? nullptr : it->second;
}

bool TestNodes::Detach(int32_t handle) {
  std::shared_ptr<TestNode> node;
  {
    std::lock_guard lock(mutex_);
    auto it = nodes_.find(handle);
    if (it == nodes_.end()) return false;
    node = std::move(it->second);
    nodes_.erase(it);
  }
  node->segment().Detach(*node);
  return true;
}

}  // namespace vcan
