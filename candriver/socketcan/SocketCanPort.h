// A driver port on a SocketCAN network interface (can0, vcan0, ...). CAN_Init opens a raw CAN
// socket bound to the interface and CAN_Reset closes it; a reader thread sleeps in poll() until
// the socket has a frame, and puts the frames into the same receive FIFO the simulated ports
// use, with the kernel's receive time stamps. Error frames give the controller's state (bus-off,
// error passive, overrun); frames the kernel dropped because the socket's queue was full are
// reported as an overrun. When the interface vanishes or goes down, the port says so on stderr,
// reports itself off the bus and tries to open the interface again, once a second, until it is
// there and up.
//
// Threads: the driver entries call from any thread; the reader thread alone closes sockets, so a
// socket is never closed while another thread still polls or writes it. mutex_ guards the socket
// and the sockets waiting to be closed; it is held only around non-blocking calls.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AcceptanceFilter.h"
#include "CaptureWriter.h"
#include "DriverPort.h"
#include "SocketCanSystem.h"

namespace vcan {

class SocketCanPort final : public FifoPort {
 public:
  static constexpr auto kReopenPeriod = std::chrono::seconds(1);

  // name is the port as the driver numbers it ("0/1"), for messages.
  SocketCanPort(std::string name, std::string iface, const SocketCanSystem& system,
                size_t rx_capacity, std::unique_ptr<Capture> capture = nullptr);
  ~SocketCanPort() override;
  SocketCanPort(const SocketCanPort&) = delete;
  SocketCanPort& operator=(const SocketCanPort&) = delete;

  void GoOffBus() override;
  int32_t GoOnBus() override;
  int32_t Configure(const CANConfig& config) override;
  int32_t Send(const CANMsg& record) override;
  int32_t Status() const override;
  bool IsOnBus() const override { return on_bus_.load(); }
  uint32_t BitRate() const override { return bitrate_.load(); }

  const std::string& iface() const { return iface_; }

 private:
  int OpenSocket();            // with the kernel filter; the socket or -errno
  void InstallSocket(int fd);  // under mutex_
  void RetireSocket();         // under mutex_
  int ChangeBitRate(uint32_t bitrate);
  void WakeReader();
  void ReaderLoop();
  int CurrentSocket();   // closes retired sockets; the socket to read, or -1
  bool ReadOne(int fd);  // false when the socket is empty or failed
  void CountDrops(const ReceivedFrame& received);
  void TakeFrame(const can_frame& raw, TimePoint received);
  void TakeErrorFrame(const can_frame& raw);
  void InterfaceGone(int fd, int error);  // fd failed; news only if it is still the port's
  void SayGone(int error) const;
  void TryReopen();
  void Log(const Frame& frame);

  const std::string name_;
  const std::string iface_;
  const SocketCanSystem& system_;
  std::unique_ptr<CaptureWriter> capture_;

  mutable std::mutex mutex_;
  int socket_ = -1;
  uint64_t socket_number_ = 0;  // counts the sockets installed
  std::vector<int> retired_;
  AcceptanceFilter filter_;
  bool gone_ = false;  // the interface vanished while the port was on the bus

  // The reader thread's own: the socket it reads and the kernel's drop count seen on it.
  uint64_t reading_number_ = 0;
  uint32_t drops_seen_ = 0;

  int wake_fd_ = -1;  // eventfd that ends the reader's poll()
  std::atomic<bool> stopping_{false};
  std::atomic<bool> on_bus_{false};
  std::atomic<bool> bus_off_{false};
  std::atomic<bool> error_passive_{false};
  std::atomic<uint32_t> bitrate_{500'000};
  std::thread reader_;
};

}  // namespace vcan
