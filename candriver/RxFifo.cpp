#include "RxFifo.h"

namespace vcan {

void RxFifo::Put(const Frame& frame) {
  {
    std::lock_guard lock(mutex_);
    if (!filter_.Accepts(frame.id)) {
      filtered_++;
      return;
    }
    if (frames_.size() >= capacity_) {
      overrun_ = true;
      overrun_drops_++;
      return;
    }
    frames_.push_back(frame);
    received_++;
  }
  arrived_.notify_all();
}

void RxFifo::NoteOverrun() {
  std::lock_guard lock(mutex_);
  overrun_ = true;
  overrun_drops_++;
}

int32_t RxFifo::Take(CANMsg& record) {
  std::lock_guard lock(mutex_);
  if (overrun_) {
    overrun_ = false;
    return CAN_DataOverrun;
  }
  if (frames_.empty()) return CAN_ReceiveBufferEmpty;
  record = RecordFromFrame(frames_.front());
  frames_.pop_front();
  return CAN_NoError;
}

int32_t RxFifo::Count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int32_t>(frames_.size());
}

int32_t RxFifo::WaitForFrames(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, timeout, [this] { return !frames_.empty(); });
  return static_cast<int32_t>(frames_.size());
}

void RxFifo::SetFilter(const AcceptanceFilter& filter) {
  std::lock_guard lock(mutex_);
  filter_ = filter;
}

void RxFifo::Clear() {
  std::lock_guard lock(mutex_);
  frames_.clear();
  overrun_ = false;
}

void RxFifo::ClearFrames() {
  std::lock_guard lock(mutex_);
  frames_.clear();
}

void RxFifo::ClearOverrun() {
  std::lock_guard lock(mutex_);
  overrun_ = false;
}

bool RxFifo::overrun_pending() const {
  std::lock_guard lock(mutex_);
  return overrun_;
}

PortStats RxFifo::Stats(uint64_t sent) const {
  std::lock_guard lock(mutex_);
  return PortStats{sent, received_, filtered_, overrun_drops_};
}

}  // namespace vcan
