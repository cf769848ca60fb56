// The explicit worker of one device: establishes the explicit connection,
// keeps it, re-establishes it when its status is changed away from 0, and
// releases it while the device is stopped. Every sleep ends at once when the
// worker is to end.
#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "device/ExplicitConnection.h"
#include "device/ExplicitExchange.h"
#include "device/Workers.h"
#include "port/CANPort.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

constexpr uint16_t kStatusErrorResponse = 4;
constexpr uint16_t kStatusNoAnswer = 5;
constexpr uint32_t kKeepPeriodMs = 2000;
// A slave drops an explicit connection that carries nothing for four times
// its expected packet rate (2500 ms): an idle connection is asked after
// half of that.
constexpr uint32_t kIdleBeforeKeepAliveMs = 5000;

class ExplicitWorkerLoop {
 public:
  ExplicitWorkerLoop(CANPort& port, Device_Info& device, ConnectionObject& connection)
      : port_(port), device_(device), end_(connection.end()), buffer_(*device.buffer(kExplicit)) {}

  void Run() {
    while (!ended_ && !end_.Raised()) {
      device_.set_status(kExplicit, kStatusNotEstablished);
      buffer_.ClearBuffer();
      ucmm_ = device_.ucmm();
      if (ParkWhileStopped() || !Connect() || !Established()) continue;
      Keep();
    }
  }

 private:
  // Sleeps; false (and the loop ends) when the worker is to end.
  bool Sleep(uint32_t ms) {
    ended_ = ended_ || end_.SleepFor(ms);
    return !ended_;
  }

  bool StopRequested() const { return device_.stop_flag(kExplicit) != 0; }

  int Open() {
    return ucmm_ ? OpenExplicitUCMM(port_, device_, &end_)
                 : AllocateConnection(port_, device_, &end_);
  }

  void NoteOpenFailure(int result) {
    const uint16_t request = ucmm_ ? DNM_SetupRequestOpenUCMM : DNM_SetupRequestAllocate;
    device_.NoteSetupFailure(kExplicit, result == kErrorResponse ? SetupFailure::Refused(request)
                                                                 : SetupFailure::NoAnswer(request));
  }

  int Release(bool wait) {
    return ucmm_ ? ThreadCloseExplicitUCMM(port_, device_, wait, &end_)
                 : ReleaseConnection(port_, device_, wait, &end_);
  }

  // A stopped device is not connected: wait until it is started again.
  // True when the worker parked (the caller then begins a new cycle).
  bool ParkWhileStopped() {
    if (!StopRequested()) return false;
    while (StopRequested() && Sleep(500)) {
    }
    return true;
  }

  // Tries until the connection stands (true), the device is stopped or the
  // worker is to end (false).
  // A refused allocation leaves nothing of this master's with the device
  // (one refused as held already is released and made again within Open);
  // an unanswered one may have been taken, and is released when the device
  // is stopped meanwhile.
  bool Connect() {
    for (;;) {
      set_ = device_.connection_set();
      const int result = Open();
      if (!Sleep(500)) return false;
      if (result == kAnswered) return true;
      NoteOpenFailure(result);
      if (result == kErrorResponse) {
        buffer_.ClearBuffer();
        TraceLine("Error Response");
        device_.set_status(kExplicit, kStatusErrorResponse);
        if (!Sleep(3000)) return false;
        TraceLine("Sleep OK! Ready to Retry!!");
      } else {
        device_.set_status(kExplicit, kStatusNoAnswer);
        if (!Sleep(3000)) return false;
      }
      if (StopRequested()) {
        if (result != kErrorResponse) Release(false);
        buffer_.ClearBuffer();
        ParkWhileStopped();
        return false;
      }
    }
  }

  // False when the set opened was released meanwhile (the port changed its
  // MAC ID or rate while these requests waited for their turn): the
  // connection is then opened again.
  bool Established() {
    end_.TakeNudge();  // a call that failed while connecting asks nothing now
    if (!ucmm_) Set_ExplicitMsg_WatchdogTimeout(port_, device_, &end_);
    if (device_.connection_set() != set_) return false;
    Trace("ExplicitMsg OK Board %d  Port %d  DesMACID %d ", port_.board_number(),
          port_.port_number(), device_.mac());
    device_.NewConnectionSet();
    device_.set_status(kExplicit, kStatusEstablished);
    return true;
  }

  void Keep() {
    while (!ended_ && !end_.Raised()) {
      if (device_.status(kExplicit) != kStatusEstablished) {
        Release(true);
        // A stop changes the status too: release once, then stay released.
        if (StopRequested()) ParkWhileStopped();
        return;
      }
      if (StopRequested()) {
        Release(false);
        buffer_.ClearBuffer();
        ParkWhileStopped();
        return;
      }
      if (KeepAliveDue()) {
        // Asked again at once while unanswered, until the device answers
        // or the second miss marks the connection lost.
        while (!end_.Raised() && device_.status(kExplicit) == kStatusEstablished &&
               !CheckExplicitConnection(port_, device_, &end_)) {
        }
        continue;
      }
      ended_ = ended_ || end_.SleepOrNudge(kKeepPeriodMs);
    }
  }

  // Due when the connection has been idle for a while, or at once when a
  // request on it went unanswered.
  bool KeepAliveDue() {
    return end_.TakeNudge() || device_.MsSinceAnswer() >= kIdleBeforeKeepAliveMs;
  }

  CANPort& port_;
  Device_Info& device_;
  platform::StopSignal& end_;
  MsgBuffer& buffer_;
  bool ucmm_ = false;
  bool ended_ = false;
  uint32_t set_ = 0;  // the device's connection set when the connection was opened
};

}  // namespace

void ExplicitWorker(CANPort& port, Device_Info& device, ConnectionObject& connection) {
  ExplicitWorkerLoop(port, device, connection).Run();
}

}  // namespace dnm
