// The COS/cyclic worker of one device. The slave produces its inputs on its
// own (on change, or cyclically); the worker takes each input message and
// acknowledges it. Beside a poll connection that is all: outputs travel in
// the poll commands. Without one, the worker answers each input with its
// output message and waits for the slave's acknowledgement of it on the
// poll-response identifier. Every sleep and wait ends at once when the
// worker is to end.
#include <algorithm>

#include "VELKCANDNM.h"
#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "device/ExplicitConnection.h"
#include "device/ExplicitExchange.h"
#include "device/Workers.h"
#include "io/IoFragmentation.h"
#include "io/IoSend.h"
#include "io/IoWorkerLoop.h"
#include "io/SetupServices.h"
#include "port/CANPort.h"
#include "port/FrameText.h"
#include "port/Identifiers.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

constexpr uint32_t kWaitMs = 3000;
constexpr uint32_t kLoopPauseMs = 100;

uint32_t InputId(uint8_t mac) {
  return 0x340u + mac;
}

uint32_t OutputAckId(uint8_t mac) {
  return 0x3C0u + mac;
}

class CosCyclicWorkerLoop : IoWorkerLoop {
 public:
  CosCyclicWorkerLoop(CANPort& port, Device_Info& device, ConnectionObject& connection)
      : IoWorkerLoop(port, device, connection, kCosCyclic) {}

  void Run() {
    if (device_.Has(kChoiceBitStrobe)) WaitUntil([&] { return Up(kBitStrobe); });
    const bool with_poll = device_.Has(kChoicePoll);
    if (with_poll) WaitUntil([&] { return Up(kPoll) && Up(kExplicit); });
    while (!Ended()) {
      if (with_poll) {
        PassWithPoll();
      } else {
        PassWithoutPoll();
      }
    }
  }

 private:
  template <typename Done>
  void WaitUntil(Done done) {
    while (!done() && Sleep(500)) {
    }
  }
  bool Up(ConnectionKind kind) const { return device_.status(kind) == kStatusEstablished; }
  bool StopRequested() const { return device_.stop_flag(kCosCyclic) != 0; }
  void ParkWhileStopped() {
    WaitUntil([&] { return !StopRequested(); });
  }
  void DropExplicit() { device_.set_status(kExplicit, kStatusNotEstablished); }
  void ReleaseAndWait() { ReleaseConnectionSet(port_, device_, ucmm_, true, &end_); }
  void SetPollRate() { Set_ExpectedPacketRate(port_, device_, ucmm_, kPollInstance, &end_); }

  // Releases the connection set, waits while stopped, has it set up again.
  void StopRelease() {
    ReleaseAndWait();
    ParkWhileStopped();
    DropExplicit();
  }

  void PassWithPoll() {
    device_.set_status(kCosCyclic, kStatusNotEstablished);
    buffer_.ClearBuffer();
    while (device_.status(kExplicit) == kStatusNotEstablished) {
      if (StopRequested()) return StopRelease();
      if (!Sleep(500)) return;
    }
    ucmm_ = device_.ucmm();
    if (ucmm_ && !AllocatedOverUcmm()) return;
    if (!SizeMatches(true, true)) return;
    if (Set_ExpectedPacketRate(port_, device_, ucmm_, kCosCyclicInstance, &end_) != 0) {
      if (end_.Raised()) return;
      ReleaseAndWait();
      DropExplicit();
      Sleep(1000);
      return;
    }
    device_.set_status(kCosCyclic, kStatusEstablished);
    while (ExchangeWithPoll() && Sleep(kLoopPauseMs)) {
    }
  }

  // One pass of the loop beside a poll connection; false when the pass
  // ends the connection.
  bool ExchangeWithPoll() {
    const uint16_t result = ReadInput();
    if (Ended()) return false;
    if (result == 0) SendAck();
    if (result == DNM_IOInputLengthError || result == DNM_IOFragmentSequenceError) {
      ReleaseAndWait();
      device_.set_status(kCosCyclic, kStatusNotEstablished);
      DropExplicit();
      return false;
    }
    if (StopRequested()) {
      StopRelease();
      return false;
    }
    return true;
  }

  void PassWithoutPoll() {
    device_.set_status(kCosCyclic, kStatusNotEstablished);
    for (uint32_t pause = 100; device_.status(kExplicit) == kStatusNotEstablished;
         pause = pause < 900 ? pause + 100 : 3000) {
      if (StopRequested()) return StopRelease();
      if (!Sleep(pause)) return;
    }
    if (MsgBuffer* acks = device_.buffer(kPoll)) acks->ClearBuffer();
    buffer_.ClearBuffer();
    ucmm_ = device_.ucmm();
    if (ucmm_ && !AllocatedOverUcmm()) return;
    if (!SizeMatches(false, false) || !SizeMatches(true, false)) return;
    if (!RatesSet()) return;
    device_.set_status(kCosCyclic, kStatusEstablished);
    while (ExchangeWithoutPoll() && Sleep(kLoopPauseMs)) {
    }
  }

  // The poll instance carries the master's outputs here: its rate is set
  // first, then the COS/cyclic one.
  bool RatesSet() {
    if (Set_ExpectedPacketRate(port_, device_, ucmm_, kPollInstance, &end_) != 0) {
      if (end_.Raised()) return false;
      if (ReleaseConnection(port_, device_, false, &end_) != 0) {
        ReleaseConnection(port_, device_, true, &end_);
      }
    } else if (Set_ExpectedPacketRate(port_, device_, ucmm_, kCosCyclicInstance, &end_) != 0) {
      if (end_.Raised()) return false;
      SetPollRate();
    } else {
      return true;
    }
    Sleep(1000);
    DropExplicit();
    return false;
  }

  bool ExchangeWithoutPoll() {
    const uint16_t result = ReadInput();
    if (Ended()) return false;
    if (result == 0 && SendAck() == 0) {
      const uint16_t sent =
          SendOutputMessage(port_, mac_, Group2Id(mac_, 5), connection_.output(),
                            connection_.output_size.load(), "Send_COS_Cyclic_OutputMsg");
      if (sent != 0) {
        Trace("COS_Cyclic Thread ---> Send_COS_Cyclic_OutputMsg( ) return: %d", sent);
        device_.Count(kCOS_CyclicWithoutPollSendError);
        Sleep(20);
        return Restart();
      }
      if (!OutputAcknowledged() && !end_.Raised()) {
        device_.Count(kCOS_CyclicWithoutPollACKNoResponse);
      }
    }
    if (result == DNM_IOInputLengthError || result == DNM_IOFragmentSequenceError) return Restart();
    if (StopRequested()) {
      SetPollRate();
      ParkWhileStopped();
      DropExplicit();
      return false;
    }
    return true;
  }

  bool Restart() {
    SetPollRate();
    device_.set_status(kCosCyclic, kStatusNotEstablished);
    DropExplicit();
    return false;
  }

  bool AllocatedOverUcmm() {
    for (;;) {
      const int result = AllocateUCMM(port_, device_, &end_);
      if (result == kAnswered) return true;
      if (end_.Raised()) return false;
      if (result != kErrorResponse) {
        TraceLine("COS_Cyclic_Thread( ) Allocate COS_Cyclic Connection No Response!");
        DropExplicit();
        Sleep(1000);
        return false;
      }
      TraceLine("COS_Cyclic_Thread( ) Allocate COS_Cyclic Connection Error Response!");
      if (!Sleep(1000)) return false;
      if (StopRequested()) {
        StopRelease();
        return false;
      }
    }
  }

  // Compares the slave's produced (or consumed) size of the COS/cyclic
  // instance with the configured input (or output) size by their low bytes.
  bool SizeMatches(bool produced, bool pause_on_mismatch) {
    uint16_t size = 0;
    const uint16_t result =
        produced
            ? GetProducedConnectionSize(port_, device_, ucmm_, kCosCyclicInstance, size, &end_)
            : GetConsumedConnectionSize(port_, device_, ucmm_, kCosCyclicInstance, size, &end_);
    if (result != 0) {
      if (!end_.Raised()) DropExplicit();
      return false;
    }
    const uint16_t configured =
        (produced ? connection_.input_size.load() : connection_.output_size.load()) & 0xFF;
    Trace(produced ? "COS_Cyclic_Thread( ) Get Produced_Connection_Size is %d"
                   : "COS_Cyclic_Thread( ) Get Consumed_Connection_Size is %d",
          size);
    Trace(produced ? "COS_Cyclic_Thread( ) Configure Produced_Connection_Size is %d"
                   : "COS_Cyclic_Thread( ) Configure Consumed_Connection_Size is %d",
          configured);
    if (size == configured) return true;
    ReleaseAndWait();
    if (pause_on_mismatch && !Sleep(1000)) return false;
    ParkWhileStopped();
    DropExplicit();
    return false;
  }

  // Reads one input message into the input area: 0, 2201 nothing came,
  // 2202 wrong length, 2203 fragment error. Counts the failures.
  uint16_t ReadInput() {
    const uint16_t result = TakeInput();
    if (result == DNM_IOFragmentNotReceived) device_.Count(kCOS_CyclicWithPollNoResponse);
    if (result == DNM_IOInputLengthError) device_.Count(kCOS_CyclicWithPollErrorResponse);
    if (result == DNM_IOFragmentSequenceError) device_.Count(kCOS_CyclicWithPollFragmentError);
    return result;
  }

  uint16_t TakeInput() {
    const size_t length = std::min<size_t>(connection_.input_size.load(), kMaxIoMessage);
    CANMsg frame{};
    if (length <= 8) {
      if (!WaitInput(frame, nullptr)) return DNM_IOFragmentNotReceived;
      Trace("Read Non Fragment Message " DNM_FRAME_FORMAT, DNM_FRAME_FIELDS(frame));
      if (frame.len != length) return DNM_IOInputLengthError;
      connection_.input().CopyIn(frame.data, length);
      return 0;
    }
    IoReassembly reassembly(length);
    for (;;) {
      if (!WaitInput(frame, &reassembly)) return DNM_IOFragmentNotReceived;
      if (reassembly.count() == 0) {
        Trace("Read Fragment Message " DNM_FRAME_FORMAT, DNM_FRAME_FIELDS(frame));
      }
      const IoReassembly::Step step = reassembly.Take(frame);
      if (step == IoReassembly::Step::kError) return DNM_IOFragmentSequenceError;
      if (step == IoReassembly::Step::kDone) break;
    }
    connection_.input().CopyIn(reassembly.message(), length);
    return 0;
  }

  // Takes the next input frame (for a fragmented message, the fragment
  // awaited); false after 3000 ms.
  bool WaitInput(CANMsg& frame, const IoReassembly* reassembly) {
    const FrameKey key = reassembly ? FrameKey::Data(InputId(mac_), reassembly->ExpectedByte())
                                    : FrameKey::Id(InputId(mac_));
    return WaitFrame(buffer_, {key}, kWaitMs, "WaitCOS_CyclicResponse( )",
                     "WaitCOS_CyclicResponse( )", frame);
  }

  uint16_t SendAck() {
    TraceLine("Send_COS_Cyclic ACK");
    const uint16_t sent = port_.SendLocked(Group2Id(mac_, 2), 0, nullptr);
    if (sent == 0) return 0;
    device_.Count(kCOS_CyclicWithPollSendError);
    return TraceCANResult("SendCOS_CyclicACK( )", "SendCmd( )", sent);
  }

  bool OutputAcknowledged() {
    MsgBuffer* acks = device_.buffer(kPoll);
    CANMsg ack{};
    return acks != nullptr &&
           WaitFrame(*acks, {FrameKey::Len(OutputAckId(mac_), 0)}, kWaitMs,
                     "WaitCOS_CyclicACKResponse( )", "WaitCOS_CyclicACKResponse( )", ack);
  }
};

}  // namespace

void CosCyclicWorker(CANPort& port, Device_Info& device, ConnectionObject& connection) {
  CosCyclicWorkerLoop(port, device, connection).Run();
}

}  // namespace dnm
