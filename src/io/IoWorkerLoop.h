// What the I/O workers share: their port, device and connection, sleeps
// that end at once when the worker is to end, their stop flag, and the
// wait for one frame of their connection.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "port/MsgBuffer.h"

namespace dnm {

class CANPort;

class IoWorkerLoop {
 protected:
  IoWorkerLoop(CANPort& port, Device_Info& device, ConnectionObject& connection,
               ConnectionKind kind)
      : port_(port),
        device_(device),
        connection_(connection),
        end_(connection.end()),
        buffer_(*device.buffer(kind)),
        mac_(device.mac()),
        info_(KindInfo(kind)),
        kind_(kind) {}

  // Sleeps; false (from then on) when the worker is to end.
  bool Sleep(uint32_t ms);
  bool Ended() const { return ended_ || end_.Raised(); }
  bool StopRequested() const { return device_.stop_flag(kind_) != 0; }
  void ParkWhileStopped();
  // Tells the explicit worker that the connection set is gone.
  void DropExplicit() { device_.set_status(kExplicit, kStatusNotEstablished); }
  // Marks the connection set that the connection is being set up in; it
  // stands only as long as the device holds that set.
  void JoinConnectionSet() { set_ = device_.connection_set(); }
  bool ConnectionSetGone() const {
    return device_.status(kExplicit) != kStatusEstablished || device_.connection_set() != set_;
  }
  // Ends the connection because its set went (the explicit worker sets the
  // set up again) or it was lost itself (the set is then set up again,
  // unless another connection's loss has already had it set up anew).
  void EndConnection(ConnectionKind kind, bool lost) {
    device_.set_status(kind, kStatusNotEstablished);
    if (lost && device_.connection_set() == set_) DropExplicit();
  }

  // Reads the slave's produced (or consumed) size of the connection and
  // compares it with the configured input (or output) size by their low
  // bytes, tracing both. A read that failed drops the explicit connection
  // (unless the worker is ending); a mismatch is noted as the set-up
  // failure. What follows a mismatch differs per kind: the caller's.
  enum class SizeCheck { kMatches, kUnread, kDiffers };
  SizeCheck CheckSize(bool produced);

  // Allocates the connection set over UCMM and traces a refusal or a
  // missing answer with the kind's text. What follows differs per kind:
  // the caller's.
  enum class UcmmAllocation { kAllocated, kEnded, kRefused, kUnanswered };
  UcmmAllocation AllocateOverUcmm();

  // Waits up to limit_ms for a frame in buffer that matches one of keys,
  // tried in order, and takes it. Each pass is traced with count_name, the
  // frame taken with taken_name. False when none came in time. With
  // after_loss, tells whether frames were lost right before the frame.
  bool WaitFrame(MsgBuffer& buffer, std::initializer_list<FrameKey> keys, uint32_t limit_ms,
                 const char* count_name, const char* taken_name, CANMsg& frame,
                 bool* after_loss = nullptr);

  CANPort& port_;
  Device_Info& device_;
  ConnectionObject& connection_;
  platform::StopSignal& end_;
  MsgBuffer& buffer_;  // the connection's own receive buffer
  const uint8_t mac_;
  const ConnectionKindInfo& info_;
  bool ucmm_ = false;  // the route of the current set-up pass

 private:
  const ConnectionKind kind_;
  bool ended_ = false;
  uint32_t set_ = 0;
};

}  // namespace dnm
