// One port of the card as the driver entries see it. A port is served by one backend: a node on
// a simulated segment, or a SocketCAN network interface. The entries know only this interface.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "RxFifo.h"
#include "VELKCAN.h"

namespace vcan {

class Segment;

class DriverPort {
 public:
  virtual ~DriverPort() = default;

  // CAN_Reset: off the bus, dropping what waits to be sent and what was received.
  virtual void GoOffBus() = 0;
  // CAN_Init: on the bus again; a driver code.
  virtual int32_t GoOnBus() = 0;
  virtual int32_t Configure(const CANConfig& config) = 0;
  virtual int32_t Send(const CANMsg& record) = 0;
  virtual int32_t Receive(CANMsg& record) = 0;
  virtual int32_t PendingCount() const = 0;
  virtual int32_t WaitForFrames(std::chrono::milliseconds timeout) = 0;
  virtual void ClearOverrun() = 0;
  virtual void ClearFifo() = 0;
  // CAN_Status: 0 on the bus, 5 off the bus or bus-off, 19 a data overrun waits to be reported,
  // 20 the controller is error passive.
  virtual int32_t Status() const = 0;
  virtual PortStats Stats() const = 0;
  virtual bool IsOnBus() const = 0;
  virtual uint32_t BitRate() const = 0;
  // The simulated segment the port sits on, nullptr for a port on a network interface.
  virtual Segment* SimulatedSegment() { return nullptr; }
};

// The part every backend shares: the receive FIFO behind the receive entries, and the count of
// frames sent.
class FifoPort : public DriverPort {
 public:
  explicit FifoPort(size_t rx_capacity) : fifo_(rx_capacity) {}

  int32_t Receive(CANMsg& record) override { return fifo_.Take(record); }
  int32_t PendingCount() const override { return fifo_.Count(); }
  int32_t WaitForFrames(std::chrono::milliseconds timeout) override {
    return fifo_.WaitForFrames(timeout);
  }
  void ClearOverrun() override { fifo_.ClearOverrun(); }
  void ClearFifo() override { fifo_.ClearFrames(); }
  PortStats Stats() const override { return fifo_.Stats(sent_.load()); }

 protected:
  RxFifo fifo_;
  std::atomic<uint64_t> sent_{0};
};

}  // namespace vcan
