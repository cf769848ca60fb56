// An in-process node that plays the other side of a test: it records every
// frame it hears with its arrival time and answers the ones its script
// answers. Runs on a thread of its own until destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "VirtualCard.h"

namespace dnm::test {

struct HeardFrame {
  CANMsg msg;
  std::chrono::steady_clock::time_point at;
};

class Responder {
 public:
  // Returns the answers to one heard frame (none for silence).
  using Script = std::function<std::vector<CANMsg>(const CANMsg&)>;

  Responder(const VirtualCard& card, uint8_t board, uint8_t port, Script script);
  ~Responder();

  std::vector<HeardFrame> Heard() const;
  // Frames heard whose identifier is id and, if given, data byte 1 is service.
  std::vector<HeardFrame> HeardWith(uint32_t id, std::optional<uint8_t> service = {}) const;
  // Waits until count frames match, or timeout_ms passes.
  bool WaitFor(uint32_t id, std::optional<uint8_t> service, size_t count,
               uint32_t timeout_ms) const;
  void SetScript(Script script);
  void Send(const CANMsg& msg) const { card_.Send(node_, msg); }

 private:
  void Run();
  const VirtualCard& card_;
  int32_t node_;
  mutable std::mutex mutex_;
  Script script_;
  std::vector<HeardFrame> heard_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace dnm::test
