// One explicit request at a time per device. DeviceNet explicit messages
// carry no transaction number, so an answer can only be told apart from a
// late answer to an earlier request if requests never overlap: every
// request of a device (attribute calls, connection set-up, keep-alive, I/O
// set-up services) runs while it holds the device's turn.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/Platform.h"

namespace dnm {

class Device_Info;

// The answer a request sent without waiting for it may still bring: until
// it came or its time is out, a frame of that identifier and header with
// the success service or an error response answers that request, not the
// next one.
struct PendingAnswer {
  uint32_t response_id;
  uint8_t header;
  uint8_t success_service;
  const char* name;   // the request's trace name
  uint32_t due_tick;  // platform::GetTickCount() when its wait ends
};

// A first-come, first-served turn with one holder at a time. The holder
// alone reads and writes the answers left pending.
class TurnQueue {
 public:
  static constexpr uint32_t kNoLimit = UINT32_MAX;

  // Waits for the turn at most wait_ms (kNoLimit: without a limit), until
  // stop is raised or the queue is closed. True when granted.
  bool Take(uint32_t wait_ms, const platform::StopSignal* stop);
  void Give();
  // Lets waiters look at their stop signals again.
  void WakeWaiters();
  // No turn is granted any more; returns once the holder has given it back.
  void CloseAndWaitFree();

  // For the holder: an answer the next request must let pass first, and
  // those left so far (handed over once).
  void LeavePending(const PendingAnswer& answer) { pending_.push_back(answer); }
  std::vector<PendingAnswer> TakePending() { return std::exchange(pending_, {}); }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<uint64_t> waiting_;
  uint64_t next_ticket_ = 0;
  bool held_ = false;
  bool closed_ = false;
  std::vector<PendingAnswer> pending_;  // the holder's alone
};

// Holds a device's turn for one or more requests and their answers.
class RequestTurn {
 public:
  RequestTurn(Device_Info& device, uint32_t wait_ms, const platform::StopSignal* stop);
  ~RequestTurn();
  RequestTurn(const RequestTurn&) = delete;
  RequestTurn& operator=(const RequestTurn&) = delete;

  bool held() const { return held_; }

 private:
  Device_Info& device_;
  bool held_;
};

}  // namespace dnm
