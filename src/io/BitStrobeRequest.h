// The port's bit-strobe request thread: sends one bit-strobe command for
// the whole port every BitStrobePeriod, while a started device of the port
// has a bit-strobe connection. Made on the first such start, suspended
// when the last one stops, resumed on the next start, ended with the port.
// A suspended thread finishes the sleep it is in and then waits, holding
// nothing, until it is resumed or ended. Its operations run under the
// port's lock (exclusive).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/Platform.h"

namespace dnm {

class CANPort;

class BitStrobeRequest {
 public:
  explicit BitStrobeRequest(CANPort& port) : port_(port) {}
  ~BitStrobeRequest();
  BitStrobeRequest(const BitStrobeRequest&) = delete;
  BitStrobeRequest& operator=(const BitStrobeRequest&) = delete;

  bool created() const { return created_; }
  bool suspended() const { return suspended_; }

  // 0, or 3200 when the thread cannot be made.
  uint16_t Create();
  // 0, 2101 without a thread, 2105 when it was not suspended.
  uint16_t Resume();
  // 0, or 2101 without a thread.
  uint16_t Suspend();
  // Suspends, ends and closes the thread, as the port does when it goes.
  void Destroy();

 private:
  void Run();
  bool WaitWhileSuspended();

  CANPort& port_;
  platform::Thread thread_;
  platform::StopSignal end_;
  std::mutex mutex_;
  std::condition_variable resumed_;
  bool created_ = false;
  bool suspended_ = false;  // guarded by mutex_ where the thread reads it
};

}  // namespace dnm
