// One CAN port of an active board acting as a DeviceNet master: its state on
// the network, its send path, its five receive threads and its scan list.
//
// Threads and locks:
// - Exports run on application threads; each holds its board's lifecycle
//   lock (shared) while it runs, so the port outlives every call on it, and
//   the port's own lock: exclusively when it changes the port's state or
//   scan list, shared when it only uses a device.
// - The five receive threads take frames from the driver and route them
//   while they hold the port's ReceiveLock. The device table and the
//   devices' receive buffers are changed only under the same lock, so a
//   receive thread never sees a device or buffer that is being freed.
// - Only one receive thread at a time, the listener, waits in the driver,
//   so a frame wakes one thread, not five. It routes what arrives and
//   listens again; it hands the role on to one of the others, which sleep
//   on listen_changed_, before it sends answers to other nodes and when it
//   is asked to pause or stop. The role (listener_taken_) and the threads'
//   flags are guarded by flags_mutex_. While the answers to a batch of polls
//   are still coming on a port that is not loaded, the listener waits for
//   them on flags_changed_ before it listens again (see PollScheduler).
// - The port's poll scheduler (one thread, made when the first poll
//   connection stands) sends every poll command of the port; its own lock
//   is taken after a MsgBuffer's, never with another of the port's.
// - Every frame is sent under the port's SendLock, one offer to the driver
//   per hold. No other lock of the library is taken while it is held. A
//   sender that meets a full transmit queue waits for room without it, in
//   the port's order of sending (SendOrder, its own lock, taken alone).
// - Lock order: board lifecycle, port lock, port buffer turn, ReceiveLock,
//   MapTable's lock, a MsgBuffer's lock. SendLock is taken alone.
// - Flags and states shared between threads are atomics.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "VELKCAN.h"
#include "platform/Platform.h"
#include "platform/SharedMutex.h"
#include "port/Identifiers.h"
#include "port/PortTraffic.h"
#include "port/SendOrder.h"

namespace dnm {

class BitStrobeRequest;
class Board;
class Device_Info;
class MapTable;
class MsgBuffer;
class PollScheduler;
struct DeviceRoute;

enum class PortState : uint8_t { kIdle = 2, kOnline = 3, kOffline = 4 };

constexpr int kReceiveThreads = 5;
constexpr uint8_t kFlagRequested = 1;
constexpr uint8_t kFlagAcknowledged = 0x22;

class CANPort {
 public:
  CANPort(Board& board, uint8_t port);
  ~CANPort();
  CANPort(const CANPort&) = delete;
  CANPort& operator=(const CANPort&) = delete;

  uint8_t board_number() const { return board_number_; }
  uint8_t port_number() const { return port_number_; }
  uint8_t mac_id() const { return mac_id_.load(); }
  uint8_t baud() const { return baud_.load(); }
  PortState state() const { return state_.load(); }
  MapTable& map() const;
  MsgBuffer& port_buffer() const { return *port_buffer_; }
  // One exchange through the port buffer at a time (a network scan or an
  // offline connection set request), so none takes another's answers.
  std::mutex& port_buffer_turn() { return port_buffer_turn_; }
  bool InScanList(uint8_t mac) const { return in_scan_list_[mac].load() != 0; }
  bool IsStarted(uint8_t mac) const { return started_[mac].load() != 0; }
  bool ownership() const { return ownership_.load() != 0; }
  void set_ownership(bool held) { ownership_.store(held ? 1 : 0); }

  // Sends one frame; the caller holds SendLock. 0, 1100..1102, or a driver code.
  uint16_t SendCmd(uint32_t id, uint8_t rtr, uint8_t len, const uint8_t* data);
  // Sends one frame, taking SendLock for each offer to the driver. A full
  // transmit queue is waited out in the port's order of sending, at most
  // FullQueueWaitMs(); then 16 (CAN_TransmitBufferLocked) as from the driver.
  uint16_t SendLocked(uint32_t id, uint8_t len, const uint8_t* data,
                      SendClass kind = SendClass::kRequest);
  // Four times the time a full transmit queue of 64 of the longest frames
  // takes to drain at the port's rate: 70 ms at 500 kbit/s, 277 ms at 125.
  uint32_t FullQueueWaitMs() const;
  // The port's bit rate in kbit/s.
  uint32_t kbit() const { return 500u >> (baud() < 2 ? baud() : 2); }
  // An explicit answer of a device loses arbitration to every poll command
  // of a lower MAC ID and to every poll response: on a loaded bus it waits
  // until the master has nothing queued. While an answer the master waits
  // for is overdue there, I/O is held back (at most FullQueueWaitMs() at a
  // time), so that the master's queue drains and the answer gets the bus.
  void HoldIo(bool hold);
  const PortTraffic& traffic() const { return traffic_; }
  // True when a full transmit queue was met or I/O was held within the last
  // second, or the port's own frames keep the bus busy (see SendLoad).
  bool Loaded() const {
    const uint32_t now = platform::GetTickCount();
    return now - last_full_.load() < 1000 || send_load_.Loaded(now, kbit());
  }

  // Online with the duplicate MAC ID checks; the export's checks passed.
  uint16_t Online(uint8_t baud, uint8_t mac);
  uint16_t Offline();
  uint16_t CheckDuplicMACIDResponse(uint32_t id);

  uint16_t CreateReciveThread();
  uint16_t PauseReceiveThreads();
  uint16_t ResumeReceiveThreads();
  uint16_t CloseReceiveThreads();

  // Guards the port's state and its scan list against concurrent exports:
  // calls that change them (online, offline, adding, removing, configuring,
  // starting and stopping devices) hold it exclusively, calls that only use
  // a device hold it shared.
  platform::SharedMutex& port_lock() { return port_lock_; }

  // For the receive routing and the scan list: the device record of a MAC
  // ID, or nullptr. Call with ReceiveLock held, or from the application
  // thread that owns the scan list.
  Device_Info* device(uint8_t mac) const { return devices_[mac].get(); }
  // The device record for a call that uses the device after it has let go
  // of the port's lock; nullptr when there is none.
  std::shared_ptr<Device_Info> LeaseDevice(uint8_t mac) const;
  // Puts a device record in place (or removes it with nullptr) under
  // ReceiveLock, so routing never sees it half made or freed.
  void SetDevice(uint8_t mac, std::shared_ptr<Device_Info> device);
  // Takes the device record out of the scan list (under ReceiveLock) and
  // hands it to the caller, who takes it apart.
  std::shared_ptr<Device_Info> TakeDevice(uint8_t mac);
  void SetStarted(uint8_t mac, bool started) { started_[mac].store(started ? 1 : 0); }
  // The port's bit-strobe request thread; use under the port's lock.
  BitStrobeRequest& bit_strobe_request() { return *bit_strobe_request_; }
  // Sends the poll commands of every poll connection of the port.
  PollScheduler& poll_scheduler() { return *poll_scheduler_; }
  // Routes the frames the driver holds now, on the calling thread, as a
  // receive thread would: a wait that seems to have run out takes what
  // arrived before it decides, even when the receive threads woke late.
  void RouteArrivedFrames();

 private:
  struct RxScratch;
  void Rx_Thread(int n);
  bool HoldIfPausedOrStopped(int n);
  bool FlagRaised(int n) const;
  bool BecomeListener(int n);
  bool ListenForFrames(int n);
  void HandOnListener();
  void ServeAsListener(int n, RxScratch& scratch);
  void AwaitPollAnswers(int n);
  void TakeAndRoute(int n, RxScratch& scratch);
  void SendResponses(int n, const RxScratch& scratch);
  void Route(const CANMsg& msg, int n, RxScratch& scratch);
  void RouteToDevice(const CANMsg& msg, int n, uint8_t mac, uint8_t instance);
  // The receive FIFO overran: every device's buffers learn of the loss.
  void NoteOverrun();
  void NoteFramesLost() const;
  void TraceDeviceRoute(const CANMsg& msg, int n, const DeviceRoute& route) const;
  void SetAllFlags(std::array<std::atomic<uint8_t>, kReceiveThreads>& flags, uint8_t value);
  void StopAndJoinReceiveThreads();
  bool DuplicateCheck(const CANMsg& check, const char* caller_tag, uint16_t& result);
  int32_t OfferInOrder(const CANMsg& msg, SendClass kind);
  // Waits while I/O is held, at most FullQueueWaitMs(); the milliseconds waited.
  uint32_t WaitWhileIoHeld();

  Board& board_;
  const uint8_t port_number_;
  const uint8_t board_number_;
  std::atomic<uint8_t> mac_id_{0};
  std::atomic<uint8_t> baud_{0};
  std::atomic<PortState> state_{PortState::kIdle};
  bool receive_threads_made_ = false;
  std::array<std::atomic<uint8_t>, kReceiveThreads> stop_flags_{};
  std::array<std::atomic<uint8_t>, kReceiveThreads> pause_flags_{};
  std::mutex flags_mutex_;
  std::condition_variable flags_changed_;
  std::condition_variable listen_changed_;  // the role is free or a flag changed
  bool listener_taken_ = false;
  std::unique_ptr<MsgBuffer> port_buffer_;
  std::mutex port_buffer_turn_;
  std::atomic<uint8_t> ownership_{0};
  std::array<std::atomic<uint8_t>, 64> in_scan_list_{};
  std::array<std::atomic<uint8_t>, 64> started_{};
  // Made before the devices and taken apart after them: their poll workers
  // hand their connections to it until they end.
  std::unique_ptr<PollScheduler> poll_scheduler_;
  std::array<std::shared_ptr<Device_Info>, 64> devices_;
  platform::SharedMutex port_lock_;
  SendOrder send_order_;
  std::atomic<uint32_t> last_full_{0};
  SendLoad send_load_;  // tick of the last full queue met, minus a second at first
  PortTraffic traffic_;
  std::mutex io_hold_mutex_;
  std::condition_variable io_hold_changed_;
  int io_holds_ = 0;  // guarded by io_hold_mutex_
  std::array<platform::Thread, kReceiveThreads> rx_threads_;
  // Frames the driver still held when it told of an overrun, not yet
  // routed; under ReceiveLock.
  uint32_t frames_before_loss_ = 0;
  std::unique_ptr<BitStrobeRequest> bit_strobe_request_;
};

}  // namespace dnm
