// Writes a port's capture on a thread of its own, so that neither the port's reader thread nor a
// sender ever waits for the file: a slow disk then costs no received frames. Frames are written
// in batches, each sorted by the frames' times, and the file is flushed after each batch, so
// the log is in time order even where a frame read from the kernel is queued after the answer
// to it.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Capture.h"
#include "Frame.h"

namespace vcan {

class CaptureWriter {
 public:
  static constexpr auto kBatchPeriod = std::chrono::milliseconds(20);
  // Beyond this many frames waiting, a capture that cannot keep up leaves frames out.
  static constexpr size_t kMaxWaiting = 1 << 16;

  CaptureWriter(std::unique_ptr<Capture> capture, std::string iface);
  ~CaptureWriter();  // writes what waits
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  void Add(const Frame& frame);

 private:
  void Run();
  void WriteBatch(std::vector<Frame>& batch);

  const std::unique_ptr<Capture> capture_;
  const std::string iface_;
  std::mutex mutex_;
  std::condition_variable added_;
  std::vector<Frame> waiting_;
  bool stopping_ = false;
  bool left_out_ = false;
  std::thread thread_;
};

}  // namespace vcan
