// The bounded receive FIFO of a driver port, with its acceptance filter and its single overrun
// report, shared by every backend. Thread-safe: frames come in on the backend's thread and are
// taken by the driver entries.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "AcceptanceFilter.h"
#include "Frame.h"

namespace vcan {

struct PortStats {
  uint64_t sent = 0;
  uint64_t received = 0;
  uint64_t filtered = 0;
  uint64_t overrun_drops = 0;
};

class RxFifo {
 public:
  static constexpr size_t kDefaultCapacity = 512;

  explicit RxFifo(size_t capacity) : capacity_(capacity) {}

  // Stores a frame that passes the filter; a full FIFO drops it and owes an overrun report.
  void Put(const Frame& frame);
  // A frame was lost before it reached the FIFO (a controller overrun): reported like one.
  void NoteOverrun();
  // A pending overrun is reported once, before any further frame, as a controller reports it;
  // the frames the FIFO still holds then came before those it dropped.
  int32_t Take(CANMsg& record);
  int32_t Count() const;
  int32_t WaitForFrames(std::chrono::milliseconds timeout);
  void SetFilter(const AcceptanceFilter& filter);
  void Clear();  // frames and the pending overrun
  void ClearFrames();
  void ClearOverrun();
  bool overrun_pending() const;
  PortStats Stats(uint64_t sent) const;

 private:
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Frame> frames_;
  bool overrun_ = false;
  AcceptanceFilter filter_;
  uint64_t received_ = 0;
  uint64_t filtered_ = 0;
  uint64_t overrun_drops_ = 0;
};

}  // namespace vcan
