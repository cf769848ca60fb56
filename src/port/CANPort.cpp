#include "port/CANPort.h"

#include <algorithm>
#include <cstring>

#include "VELKCANDNM.h"
#include "api/Board.h"
#include "api/Library.h"
#include "device/Device_Info.h"
#include "driver/CanConfig.h"
#include "driver/Driver.h"
#include "io/BitStrobeRequest.h"
#include "io/PollScheduler.h"
#include "platform/ThreadName.h"
#include "port/FrameText.h"
#include "port/MapTable.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

namespace dnm {

CANPort::CANPort(Board& board, uint8_t port)
    : board_(board),
      port_number_(port),
      board_number_(board.number()),
      port_buffer_(std::make_unique<MsgBuffer>()),
      poll_scheduler_(std::make_unique<PollScheduler>()),
      bit_strobe_request_(std::make_unique<BitStrobeRequest>(*this)) {
  last_full_ = platform::GetTickCount() - 1000;
}

CANPort::~CANPort() {
  bit_strobe_request_->Destroy();
  StopAndJoinReceiveThreads();
  port_buffer_.reset();
  TraceLine("Delete CANPort");
}

MapTable& CANPort::map() const {
  return board_.map(port_number_);
}

namespace {

// Fills the driver's record; 0, or the code of a frame that is never sent.
uint16_t MakeFrame(uint32_t id, uint8_t rtr, uint8_t len, const uint8_t* data, CANMsg& msg) {
  msg.mode = 0;
  msg.id = id;
  if (id > 0x1FFFFFFF) return DNM_TxMessageConnectionIDError;
  msg.rtr = rtr;
  if (rtr > 0) return DNM_TxMessageRTRError;
  msg.len = len;
  if (len > 8) return DNM_TxMessageLengthError;
  if (len > 0) std::memcpy(msg.data, data, len);
  Trace("CANPort::SencCmd( )   " DNM_FRAME_FORMAT, DNM_FRAME_FIELDS(msg));
  return 0;
}

uint16_t Reported(int32_t result) {
  Trace("CANPort::SendCmd( )   SendCmd return vlaue is %d", result);
  if (result != 0) return TraceCANResult("CANPort::SendCmd( )", "API_CAN_SendMsg( )", result);
  return 0;
}

// Bits of the longest 8-byte frame on the bus, stuff bits included.
constexpr uint32_t kLongestFrameBits = 135;
// The transmit queue of a driver port is taken to hold this many frames.
constexpr uint32_t kQueueFrames = 64;
// How many times the queue's drain time a sender waits for room.
constexpr uint32_t kDrainTimes = 4;

}  // namespace

uint16_t CANPort::SendCmd(uint32_t id, uint8_t rtr, uint8_t len, const uint8_t* data) {
  CANMsg msg{};
  if (const uint16_t refused = MakeFrame(id, rtr, len, data, msg)) return refused;
  const int32_t result = driver::SendMsg(board_number_, port_number_, msg);
  if (result == 0) traffic_.NoteSent(msg);
  return Reported(result);
}

uint16_t CANPort::SendLocked(uint32_t id, uint8_t len, const uint8_t* data, SendClass kind) {
  CANMsg msg{};
  if (const uint16_t refused = MakeFrame(id, 0, len, data, msg)) return refused;
  return Reported(OfferInOrder(msg, kind));
}

uint32_t CANPort::FullQueueWaitMs() const {
  return (kDrainTimes * kQueueFrames * kLongestFrameBits + kbit() - 1) / kbit();
}

int32_t CANPort::OfferInOrder(const CANMsg& msg, SendClass kind) {
  SendOrder::Place place(send_order_, kind, FullQueueWaitMs());
  int32_t result = CAN_TransmitBufferLocked;
  while (place.MayOffer()) {
    if (kind == SendClass::kIo) place.Postpone(WaitWhileIoHeld());
    {
      std::lock_guard lock(SendLock(board_number_, port_number_));
      result = driver::SendMsg(board_number_, port_number_, msg);
    }
    if (result == 0) {
      send_load_.NoteSent(platform::GetTickCount());
      traffic_.NoteSent(msg);
    }
    if (result != CAN_TransmitBufferLocked) return result;
    last_full_ = platform::GetTickCount();
    place.QueueFull();
  }
  return result;
}

void CANPort::HoldIo(bool hold) {
  // The port's own frames pause during a hold; the bus is still loaded
  // for the next request of another device.
  if (hold) last_full_ = platform::GetTickCount();
  {
    std::lock_guard lock(io_hold_mutex_);
    io_holds_ += hold ? 1 : -1;
  }
  if (!hold) io_hold_changed_.notify_all();
}

uint32_t CANPort::WaitWhileIoHeld() {
  std::unique_lock lock(io_hold_mutex_);
  if (io_holds_ == 0) return 0;
  const uint32_t start = platform::GetTickCount();
  io_hold_changed_.wait_for(lock, std::chrono::milliseconds(FullQueueWaitMs()),
                            [&] { return io_holds_ == 0; });
  return platform::GetTickCount() - start;
}

// Sends the check frame and waits for an answer. False when the check could
// not be sent (result then holds the driver's code).
bool CANPort::DuplicateCheck(const CANMsg& check, const char* caller_tag, uint16_t& result) {
  driver::ClearDataOverrun(board_number_, port_number_);
  const uint16_t sent = SendLocked(check.id, check.len, check.data);
  if (sent != 0) {
    result = TraceCANResult(caller_tag, "API_CAN_SendMsg( )", sent);
    return false;
  }
  result = CheckDuplicMACIDResponse(check.id);
  return true;
}

uint16_t CANPort::Online(uint8_t baud, uint8_t mac) {
  int32_t r = driver::Reset(board_number_, port_number_);
  if (r != 0) return TraceCANResult("DNM_Onine( )", "API_CAN_Reset( )", r);
  r = driver::Init(board_number_, port_number_);
  if (r != 0) return TraceCANResult("DNM_Onine( )", "API_CAN_Init( )", r);
  r = driver::Config(board_number_, port_number_, MakeCANConfig(baud));
  TraceCANResult("DNM_Onine( )", "API_CAN_Config( )", r);
  if (r != 0) {
    // At another rate than asked for, no device would answer the port.
    driver::Reset(board_number_, port_number_);
    return static_cast<uint16_t>(r);
  }
  mac_id_ = mac;
  baud_ = baud;
  traffic_.Reset();

  CANMsg check{};
  check.id = DuplicateCheckId(mac);
  check.len = 7;
  const auto data = DuplicateCheckData(port_number_);
  std::memcpy(check.data, data.data(), data.size());

  uint16_t result = 0;
  if (!DuplicateCheck(check, "DNM_Online( )", result)) return result;
  if (result == DNM_OnlineError) return TraceDNMResult("DNM_Online( ) ", DNM_OnlineError);
  if (result == DNM_DuplicateMACIDTimeout) TraceDNMResult("DNM_Online( ) ", result);

  const PortState before = state_.load();
  if (!DuplicateCheck(check, "DNM_Online( )", result)) return result;
  if (result == DNM_DuplicateMACIDTimeout) {
    state_ = PortState::kOnline;
    TraceDNMResult("DNM_Online( ) ", DNM_NoError);
  } else if (result == DNM_OnlineError) {
    state_ = PortState::kIdle;
    return TraceDNMResult("DNM_Online( ) ", DNM_OnlineError);
  }
  driver::ClearDataOverrun(board_number_, port_number_);

  if (!receive_threads_made_) {
    const uint16_t created = CreateReciveThread();
    if (created != 0) {
      // Without receive threads nobody would answer for the master: the
      // port does not stay on the network.
      state_ = before;
      driver::Reset(board_number_, port_number_);
      return created;
    }
  } else {
    ResumeReceiveThreads();
  }
  TraceLine("DNM_Online()   Online Successful");
  return 0;
}

uint16_t CANPort::Offline() {
  PauseReceiveThreads();
  const int32_t r = driver::Reset(board_number_, port_number_);
  if (r != 0) return DNM_OfflineError;
  Trace("Offline()   API_CAN_Reset=%d", 0);
  state_ = PortState::kOffline;
  return 0;
}

uint16_t CANPort::CheckDuplicMACIDResponse(uint32_t id) {
  Trace("CheckDuplicMACIDResponse( )   ActiveBoard=%x, port=%x", board_number_, port_number_);
  constexpr uint32_t kCheckMs = 1000;
  const uint32_t start = platform::GetTickCount();
  for (uint32_t elapsed = 0; elapsed < kCheckMs; elapsed = platform::GetTickCount() - start) {
    const int32_t waiting = driver::WaitRxMsg(board_number_, port_number_, kCheckMs - elapsed);
    for (int32_t i = 0; i < waiting; ++i) {
      CANMsg msg{};
      const int32_t r = driver::ReceiveMsg(board_number_, port_number_, msg);
      if (r != 0) {
        return TraceCANResult("CheckDuplicMACIDResponse( ) ", "API_CAN_ReceiveMsg( ) ", r);
      }
      traffic_.NoteReceived(msg);
      Trace("Msg is " DNM_FRAME_FORMAT, DNM_FRAME_FIELDS(msg));
      if (msg.id == id) return DNM_OnlineError;
    }
  }
  Trace("CheckDuplicMACIDResponse( )   Check Time=%ld",
        static_cast<long>(platform::GetTickCount() - start));
  return DNM_DuplicateMACIDTimeout;
}

void CANPort::SetAllFlags(std::array<std::atomic<uint8_t>, kReceiveThreads>& flags, uint8_t value) {
  {
    std::lock_guard lock(flags_mutex_);
    for (auto& flag : flags) flag = value;
  }
  flags_changed_.notify_all();
  listen_changed_.notify_all();
}

uint16_t CANPort::CreateReciveThread() {
  Trace("CANPort::CreateReciveThread( )   Port%d Created!", port_number_);
  SetAllFlags(stop_flags_, 0);
  SetAllFlags(pause_flags_, 0);
  for (int n = 0; n < kReceiveThreads; ++n) {
    const auto receive = [this, n] {
      platform::NameCurrentThread("dnm-rx");
      Rx_Thread(n);
    };
    if (!rx_threads_[n].Create(receive, false)) {
      Trace("Create H_Rx_Thread%d Error", n + 1);
      StopAndJoinReceiveThreads();
      return DNM_CreateThreadError;
    }
  }
  for (int n = 0; n < kReceiveThreads; ++n) {
    const auto priority =
        n < 4 ? platform::ThreadPriority::TimeCritical : platform::ThreadPriority::Highest;
    if (!rx_threads_[n].SetPriority(priority)) TraceLine("thread priority error");
  }
  receive_threads_made_ = true;
  state_ = PortState::kOnline;
  return 0;
}

uint16_t CANPort::PauseReceiveThreads() {
  state_ = PortState::kOffline;
  port_lock_.Notify();  // calls waiting to use the port give up now
  SetAllFlags(pause_flags_, kFlagRequested);
  // A thread that is taking frames right now finishes under ReceiveLock;
  // after this no thread takes another frame until resumed.
  std::lock_guard wait_for_takers(ReceiveLock(board_number_, port_number_));
  return 0;
}

uint16_t CANPort::ResumeReceiveThreads() {
  state_ = PortState::kOnline;
  SetAllFlags(pause_flags_, 0);
  return 0;
}

void CANPort::StopAndJoinReceiveThreads() {
  SetAllFlags(pause_flags_, 0);
  SetAllFlags(stop_flags_, kFlagRequested);
  for (auto& thread : rx_threads_) thread.Join();
}

uint16_t CANPort::CloseReceiveThreads() {
  if (!receive_threads_made_) return 0;
  StopAndJoinReceiveThreads();
  PauseReceiveThreads();
  receive_threads_made_ = false;
  Trace("CANPort::TerminateReceiveThread( )   Port %d TerminatReceiveThread Success!",
        port_number_);
  Trace("CANPort::CloseReceiveHandle( )   Port %d CloseHandle Success!", port_number_);
  return 0;
}

std::shared_ptr<Device_Info> CANPort::LeaseDevice(uint8_t mac) const {
  std::lock_guard lock(ReceiveLock(board_number_, port_number_));
  return devices_[mac];
}

void CANPort::SetDevice(uint8_t mac, std::shared_ptr<Device_Info> device) {
  std::shared_ptr<Device_Info> old;
  {
    std::lock_guard lock(ReceiveLock(board_number_, port_number_));
    old = std::move(devices_[mac]);
    in_scan_list_[mac] = device ? 1 : 0;
    started_[mac] = 0;
    devices_[mac] = std::move(device);
  }
}

std::shared_ptr<Device_Info> CANPort::TakeDevice(uint8_t mac) {
  std::lock_guard lock(ReceiveLock(board_number_, port_number_));
  in_scan_list_[mac] = 0;
  started_[mac] = 0;
  return std::move(devices_[mac]);
}

}  // namespace dnm
