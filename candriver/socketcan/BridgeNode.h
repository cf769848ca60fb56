// A node that joins a simulated segment to a SocketCAN network interface: every frame the
// segment carries goes out on the interface, every frame from the interface is sent on the
// segment, where it competes in arbitration like a local node's. So simulated slaves answer a
// scanner on a real bus, or candump and other programs watch them on vcan0.
//
// A reader thread takes the interface's frames; OnFrame writes without blocking, and counts
// what the interface did not take as overrun drops. When the interface vanishes the bridge
// says so on stderr and opens it again once a second.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "Node.h"
#include "SocketCanSystem.h"

namespace vcan {

class BridgeNode final : public Node {
 public:
  static constexpr auto kReopenPeriod = std::chrono::seconds(1);

  BridgeNode(std::string name, Segment& segment, std::string iface, const SocketCanSystem& system);

  // Opens the interface and starts the reader; std::runtime_error when it cannot be opened.
  void Start();

  void OnFrame(const Frame& frame) override;
  uint64_t overrun_drops() const override { return drops_.load(); }

 private:
  void ReadLoop(int fd);
  bool ReadOne(int fd);
  int Reopen();

  const std::string iface_;
  const SocketCanSystem& system_;
  std::mutex mutex_;
  int fd_ = -1;  // under mutex_; -1 while the interface is gone
  std::atomic<uint64_t> drops_{0};
};

}  // namespace vcan
