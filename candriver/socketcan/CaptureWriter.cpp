#include "CaptureWriter.h"

#include <algorithm>
#include <cstdio>

#include "ThreadName.h"

namespace vcan {

CaptureWriter::CaptureWriter(std::unique_ptr<Capture> capture, std::string iface)
    : capture_(std::move(capture)), iface_(std::move(iface)) {
  thread_ = std::thread([this] {
    NameThisThread("vcan-capture");
    Run();
  });
}

CaptureWriter::~CaptureWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  added_.notify_one();
  thread_.join();
}

void CaptureWriter::Add(const Frame& frame) {
  std::lock_guard lock(mutex_);
  if (waiting_.size() < kMaxWaiting) {
    waiting_.push_back(frame);
    if (waiting_.size() == 1) added_.notify_one();
  } else if (!left_out_) {
    left_out_ = true;
    std::fprintf(stderr, "VELKCAN: the capture of %s cannot keep up; frames are left out\n",
                 iface_.c_str());
  }
}

// Waits for a frame, then lets the batch fill for a moment, so that frames queued out of order
// by different threads are sorted before they are written.
void CaptureWriter::Run() {
  std::vector<Frame> batch;
  std::unique_lock lock(mutex_);
  while (true) {
    added_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
    if (!stopping_) added_.wait_for(lock, kBatchPeriod, [this] { return stopping_; });
    batch.swap(waiting_);
    const bool last = stopping_;
    lock.unlock();
    WriteBatch(batch);
    batch.clear();
    lock.lock();
    if (last && waiting_.empty()) return;
  }
}

void CaptureWriter::WriteBatch(std::vector<Frame>& batch) {
  std::stable_sort(batch.begin(), batch.end(),
                   [](const Frame& a, const Frame& b) { return a.end < b.end; });
  for (const Frame& frame : batch) capture_->Append(iface_, frame);
  capture_->Flush();
}

}  // namespace vcan
