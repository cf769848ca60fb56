// One configured connection of a device: its settings, its I/O data areas
// and its worker thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "device/Device_Info.h"
#include "platform/Platform.h"

namespace dnm {

class CANPort;

// A block of I/O data shared by a worker and the application, copied whole
// under its own lock.
class DataArea {
 public:
  explicit DataArea(size_t size = 0) : bytes_(size, 0) {}
  void CopyIn(const uint8_t* source, size_t count);
  void CopyOut(uint8_t* target, size_t count) const;
  size_t size() const { return bytes_.size(); }

 private:
  mutable std::mutex mutex_;
  std::vector<uint8_t> bytes_;
};

class ConnectionObject {
 public:
  ConnectionObject(uint8_t board, uint8_t port, uint8_t mac, uint8_t instance);
  ~ConnectionObject();
  ConnectionObject(const ConnectionObject&) = delete;
  ConnectionObject& operator=(const ConnectionObject&) = delete;

  uint8_t board() const { return board_; }
  uint8_t port() const { return port_; }
  uint8_t mac() const { return mac_; }
  uint8_t instance() const { return instance_; }
  ConnectionKind kind() const { return static_cast<ConnectionKind>(instance_ - 1); }

  std::atomic<uint16_t> input_size{0};
  std::atomic<uint16_t> output_size{0};
  std::atomic<uint16_t> expected_packet_rate{2500};
  // Explicit: the watchdog timeout action sent to the device.
  std::atomic<uint16_t> fourth_parameter{0};
  std::atomic<uint8_t> cos_cyclic_byte{0};

  // The two data areas of an I/O connection (absent for explicit).
  DataArea& input() { return input_; }
  DataArea& output() { return output_; }

  // Creates the worker suspended (once); 0 or the kind's creation code.
  uint16_t CreateWorker(CANPort& port, Device_Info& device);
  // Lets the worker run; 0, the kind's not-configured code, or 2001.
  uint16_t StartWorker();
  // Ends the worker where it holds nothing and waits for it; the device's
  // buffers are woken in case the worker waits on one of them.
  void DeleteWorker(const Device_Info& device);
  // The two halves of ending, for taking several workers apart at once:
  // tell the worker to end, then wait until it has.
  void RequestEnd(const Device_Info& device);
  void JoinWorker() { thread_.Join(); }
  bool created() const { return created_.load() != 0; }
  // Raised when the worker is to end; every sleep of the worker wakes on it.
  platform::StopSignal& end() { return end_; }

 private:
  const uint8_t board_;
  const uint8_t port_;
  const uint8_t mac_;
  const uint8_t instance_;
  DataArea input_;
  DataArea output_;
  std::atomic<uint8_t> created_{0};
  platform::StopSignal end_;
  platform::Thread thread_;
};

}  // namespace dnm
