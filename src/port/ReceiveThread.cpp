// The five receive threads of a port: they take frames from the driver,
// route them into the receive buffers and answer, for the master, other
// nodes' duplicate MAC ID checks and ownership requests.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "api/Library.h"
#include "device/Device_Info.h"
#include "driver/Driver.h"
#include "io/PollScheduler.h"
#include "netmgmt/ManagementFrames.h"
#include "port/CANPort.h"
#include "port/DeviceRouting.h"
#include "port/FrameText.h"
#include "port/MapTable.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

// How long one wait in the driver lasts before the thread looks at its
// flags again; bounds how long pausing or closing a port can take.
constexpr uint32_t kDriverWaitMs = 50;
// Frames taken in one hold of ReceiveLock before responses go out.
constexpr int kMaxBatch = 64;

struct Response {
  uint32_t id;
  uint8_t len;
  std::array<uint8_t, 8> data;
  const char* what;
};

}  // namespace

struct CANPort::RxScratch {
  CANMsg msg{};
  MapTable::Matches matches;
  std::vector<Response> responses;
};

bool CANPort::HoldIfPausedOrStopped(int n) {
  std::unique_lock lock(flags_mutex_);
  if (stop_flags_[n] == kFlagRequested) {
    stop_flags_[n] = kFlagAcknowledged;
    return true;
  }
  if (pause_flags_[n] != kFlagRequested) return false;
  pause_flags_[n] = kFlagAcknowledged;
  flags_changed_.wait(lock, [&] {
    return pause_flags_[n] != kFlagAcknowledged || stop_flags_[n] == kFlagRequested;
  });
  return false;
}

bool CANPort::FlagRaised(int n) const {
  return stop_flags_[n] == kFlagRequested || pause_flags_[n] == kFlagRequested;
}

// Sleeps until no other thread of the port is the listener, or until the
// thread is asked to pause or stop (then false, without the role).
bool CANPort::BecomeListener(int n) {
  std::unique_lock lock(flags_mutex_);
  listen_changed_.wait(lock, [&] { return !listener_taken_ || FlagRaised(n); });
  if (FlagRaised(n)) return false;
  listener_taken_ = true;
  return true;
}

// Waits in the driver until frames arrive (true) or the thread is asked to
// pause or stop (false). The driver wait is bounded, so a request is seen
// within kDriverWaitMs.
bool CANPort::ListenForFrames(int n) {
  while (!FlagRaised(n)) {
    if (driver::WaitRxMsg(board_number_, port_number_, kDriverWaitMs) > 0) return true;
  }
  return false;
}

// Gives the role to one sleeping thread. Called after the frames that woke
// this thread were taken, so the next listener waits for new ones only.
// While it only routes, the listener keeps the role: handing it on per frame
// would cost a second wake-up per frame.
void CANPort::HandOnListener() {
  {
    std::lock_guard lock(flags_mutex_);
    listener_taken_ = false;
  }
  listen_changed_.notify_one();
}

// As the listener: takes and routes frames as they arrive until there are
// answers to send or the thread is asked to pause or stop; then hands the
// role on, so another thread listens while this one sends.
void CANPort::ServeAsListener(int n, RxScratch& scratch) {
  scratch.responses.clear();
  while (scratch.responses.empty() && ListenForFrames(n)) {
    TakeAndRoute(n, scratch);
    if (scratch.responses.empty()) AwaitPollAnswers(n);
  }
  HandOnListener();
}

// While the answers to the polls just sent are still coming, waits until
// they are first looked at, so that one wake-up takes them all (see
// PollScheduler). Not on a loaded port: there the bus is never idle, and
// frames taken as they come keep the polls of every device in step. Ends
// early when the thread is asked to pause or stop.
void CANPort::AwaitPollAnswers(int n) {
  const uint32_t wait = poll_scheduler_->MsUntilAnswersLooked();
  if (wait == 0 || Loaded()) return;
  std::unique_lock lock(flags_mutex_);
  flags_changed_.wait_for(lock, std::chrono::milliseconds(wait), [&] { return FlagRaised(n); });
}

void CANPort::Rx_Thread(int n) {
  RxScratch scratch;
  scratch.responses.reserve(kMaxBatch);
  for (;;) {
    if (HoldIfPausedOrStopped(n)) return;
    if (pause_flags_[n] != 0) continue;
    if (!BecomeListener(n)) continue;
    ServeAsListener(n, scratch);
    SendResponses(n, scratch);
  }
}

void CANPort::SendResponses(int n, const RxScratch& scratch) {
  for (const Response& response : scratch.responses) {
    Trace("Thread%d%d_%d( )   %s", board_number_, port_number_, n, response.what);
    SendLocked(response.id, response.len, response.data.data(), SendClass::kAnswer);
  }
}

void CANPort::RouteArrivedFrames() {
  RxScratch scratch;
  TakeAndRoute(0, scratch);
  SendResponses(0, scratch);
}

// Takes the waiting frames and routes them while holding ReceiveLock, so
// frames reach their buffers in the order they were received. Responses are
// collected and sent after the lock is released.
void CANPort::TakeAndRoute(int n, RxScratch& scratch) {
  std::lock_guard lock(ReceiveLock(board_number_, port_number_));
  if (pause_flags_[n] != 0 || stop_flags_[n] != 0) return;
  for (int i = 0; i < kMaxBatch; ++i) {
    std::memset(scratch.msg.data, 0, sizeof scratch.msg.data);
    const int32_t r = driver::ReceiveMsg(board_number_, port_number_, scratch.msg) & 0xFFFF;
    if (r == CAN_DataOverrun) {
      TraceCANResult(TraceBufferText(), "API_CAN_ReceiveMsg( )", CAN_DataOverrun);
      driver::ClearDataOverrun(board_number_, port_number_);
      NoteOverrun();
      traffic_.NoteOverrun();
      continue;
    }
    if (r == CAN_ReceiveError) traffic_.NoteErrorFrame();
    if (r != 0) return;
    traffic_.NoteReceived(scratch.msg);
    Route(scratch.msg, n, scratch);
    if (frames_before_loss_ > 0 && --frames_before_loss_ == 0) NoteFramesLost();
  }
}

// A driver tells of an overrun before the frames it still holds, and those
// came before the frames it dropped: the loss lies behind them. It is noted
// there, and where it is told too, for a driver that tells it late.
void CANPort::NoteOverrun() {
  NoteFramesLost();
  const int32_t held = driver::RxMsgCount(board_number_, port_number_);
  frames_before_loss_ = held > 0 ? static_cast<uint32_t>(held) : 0;
}

void CANPort::Route(const CANMsg& msg, int n, RxScratch& scratch) {
  const uint8_t master = mac_id_.load();
  if (map().FindConnectionID(msg.id, scratch.matches) == MapTable::kNone) {
    Trace("Rx_Thread%d%d_%d( )   The Message CANRx.id=%x will be deserted!!", board_number_,
          port_number_, n, msg.id);
  } else {
    Trace("Rx_Thread%d%d_%d( )   Count is %d", board_number_, port_number_, n,
          scratch.matches.count);
    for (int i = 0; i < scratch.matches.count; ++i) {
      const RouteTarget& target = scratch.matches.targets[i];
      Trace(
          "Rx_Thread%d%d_%d( )  Thre Message CANRx.id = %x Len: %d  Data: %X %X %X %X %X %X %X "
          "%Xwill be put into the BufferID is %d  InstanceID is %d",
          board_number_, port_number_, n, msg.id, msg.len, msg.data[0], msg.data[1], msg.data[2],
          msg.data[3], msg.data[4], msg.data[5], msg.data[6], msg.data[7], target.mac,
          target.instance);
      if (target.mac == kPortBufferId) {
        port_buffer_->PutMsg(msg);
      } else {
        RouteToDevice(msg, n, target.mac, target.instance);
      }
    }
  }

  // Another node checks for the master's MAC ID: answer.
  if (IsDuplicateCheckRequest(msg, master)) {
    Response response{msg.id, 7, {}, "Send Duplicate MAC ID Response"};
    const auto data = DuplicateCheckData(0x80);
    std::copy(data.begin(), data.end(), response.data.begin());
    scratch.responses.push_back(response);
  }
  // Another client asks for the offline connection set while the port owns
  // it: object. Only requests are answered, so two owners that hear each
  // other's objections do not keep answering each other.
  if (ownership() && IsOwnershipRequest(msg, master)) {
    Response response{kOwnershipRequestId, 8, {}, "Send Ownership Response"};
    const auto data = OwnershipData(master, kOwnershipObjection);
    std::copy(data.begin(), data.end(), response.data.begin());
    scratch.responses.push_back(response);
  }
}

void CANPort::NoteFramesLost() const {
  for (const auto& device : devices_) {
    if (device) device->NoteFramesLost();
  }
}

void CANPort::RouteToDevice(const CANMsg& msg, int n, uint8_t mac, uint8_t instance) {
  Device_Info* device = mac < devices_.size() ? devices_[mac].get() : nullptr;
  const bool started = device != nullptr && IsStarted(mac);
  const bool established = started && device->status(kExplicit) == kStatusEstablished;
  const DeviceRoute route = PlanDeviceRoute(msg, mac_id_.load(), {started, established});
  MsgBuffer* buffer = started ? device->buffer(instance) : nullptr;
  if (buffer != nullptr && route.put) buffer->PutMsg(msg);
  TraceDeviceRoute(msg, n, route);
}

void CANPort::TraceDeviceRoute(const CANMsg& msg, int n, const DeviceRoute& route) const {
  const uint8_t b = board_number_;
  const uint8_t p = port_number_;
  switch (route.note) {
    case RouteNote::kNone:
      break;
    case RouteNote::kNotStarted:
      Trace(
          "Rx_Thread%d%d_%d( )   Device doesn't Start!! The Message CANRx.id=%x will be deserted!!",
          b, p, n, msg.id);
      break;
    case RouteNote::kGroup3Explicit:
      Trace(
          "Rx_Thread%d%d_%d( )   Device Establish Explicit Connection by Group 3!! The Message "
          "CANRx.id=%x will be Put into Buffer!!",
          b, p, n, msg.id);
      break;
    case RouteNote::kGroup3Io:
      Trace(
          "Rx_Thread%d%d_%d( )   Device Establish I/O Connection by Group 3!! The Message "
          "CANRx.id=%x will be Put into Buffer!!",
          b, p, n, msg.id);
      break;
    case RouteNote::kNotConnectedData0:
      Trace(
          "Rx_Thread%d%d_%d( )   Device doesn't Establish Explicit Connection!! The Message "
          "CANRx.id=%x Data0: %x will be deserted!!",
          b, p, n, msg.id, msg.data[0]);
      break;
    case RouteNote::kNotConnected:
      Trace(
          "Rx_Thread%d%d_%d( )   Device doesn't Establish Explicit Connection!! The Message "
          "CANRx.id=%x will be deserted!!",
          b, p, n, msg.id);
      break;
  }
  if (!route.not_own_message) return;
  Trace(
      "Rx_Thread%d%d_%d( )   Device doesn't receive its own Explicit and I/O Message!! The "
      "Message CANRx.id=%x will be deserted!!",
      b, p, n, msg.id);
}

}  // namespace dnm
