// The COS/cyclic worker of one device. The slave produces its inputs on its
// own (on change, or cyclically); each pass of the worker takes every input
// message held, keeps the newest whole one in the input area and
// acknowledges that one. The slave awaits an acknowledgement of its latest
// production only, and inputs left held would reach the application stale.
// Beside a poll connection that is all: outputs travel in the poll
// commands. Without one, the worker answers once per pass with its output
// message and waits for the slave's acknowledgement of it on the
// poll-response identifier. Every sleep and wait ends at once when the
// worker is to end.
#include <algorithm>
#include <array>
#include <optional>

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
// At an expected packet rate of 0 no inactivity time tells a device whose
// every production arrives broken from one that changes nothing: so many
// broken in a row end the connection.
constexpr uint16_t kBrokenInARow = 3;

uint32_t InputId(uint8_t mac) {
  return KindInfo(kCosCyclic).ProducedId(mac);
}

// The slave acknowledges an output on the poll response's identifier.
uint32_t OutputAckId(uint8_t mac) {
  return KindInfo(kPoll).ProducedId(mac);
}

// The input frames of one pass, taken in the order they came; keeps the
// newest whole message. Above 8 bytes a message is whole only from a first
// fragment through the fragments that follow it in sequence: a fragment
// out of sequence (a lost or stray one), or one that frames lost before it
// (a full buffer, an overrun) may have parted from the message begun,
// spoils that message, and a first fragment begins the next message. Every
// message carries the same fragment bytes, so only the loss tells a tail of
// a later message from the tail of the message begun.
class NewestInput {
 public:
  enum class Step { kTaken, kWrongLength, kFragmentError };

  explicit NewestInput(size_t length) : length_(length) {}
  Step Take(const CANMsg& frame, bool after_loss);
  // Whether the next frame is worth waiting for: none is whole yet, or a
  // message is begun.
  bool Waiting() const { return !whole_ || (reassembly_ && reassembly_->count() > 0); }
  bool whole() const { return whole_; }
  const uint8_t* message() const { return newest_.data(); }
  // Messages the device sent broken since the newest whole one (all taken
  // while there is none); not those that frames lost on this side spoilt.
  uint16_t broken() const { return broken_; }

 private:
  Step TakeFragment(const CANMsg& frame, bool after_loss);
  Step Keep(const uint8_t* message) {
    std::copy_n(message, length_, newest_.begin());
    whole_ = true;
    broken_ = 0;
    return Step::kTaken;
  }

  const size_t length_;
  std::optional<IoReassembly> reassembly_;
  std::array<uint8_t, kMaxIoMessage> newest_{};
  bool whole_ = false;
  uint16_t broken_ = 0;
};

NewestInput::Step NewestInput::Take(const CANMsg& frame, bool after_loss) {
  if (length_ > 8) return TakeFragment(frame, after_loss);
  Trace("Read Non Fragment Message " DNM_FRAME_FORMAT, DNM_FRAME_FIELDS(frame));
  return frame.len == length_ ? Keep(frame.data) : Step::kWrongLength;
}

NewestInput::Step NewestInput::TakeFragment(const CANMsg& frame, bool after_loss) {
  if (!reassembly_) reassembly_.emplace(length_);
  if (reassembly_->count() == 0) {
    Trace("Read Fragment Message " DNM_FRAME_FORMAT, DNM_FRAME_FIELDS(frame));
  }
  const bool begun = reassembly_->count() > 0;
  const bool parted = after_loss && begun;
  switch (parted ? IoReassembly::Step::kError : reassembly_->Take(frame)) {
    case IoReassembly::Step::kMore:
      return Step::kTaken;
    case IoReassembly::Step::kDone:
      Keep(reassembly_->message());
      reassembly_.reset();
      return Step::kTaken;
    case IoReassembly::Step::kError:
      break;
  }
  Trace("COS_Cyclic Fragment Error " DNM_FRAME_FORMAT, DNM_FRAME_FIELDS(frame));
  reassembly_.reset();
  const bool first = frame.len >= 1 && frame.data[0] == 0x00;
  // A tail without its beginning belongs to a message counted already, or
  // to one whose beginning went missing.
  if (!parted && (begun || first)) ++broken_;
  if (first) reassembly_.emplace(length_).Take(frame);
  return Step::kFragmentError;
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
  void ReleaseAndWait() { ReleaseConnectionSet(port_, device_, ucmm_, true, &end_); }
  void SetPollRate() { Set_ExpectedPacketRate(port_, device_, ucmm_, kPoll, &end_); }

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
    JoinConnectionSet();
    ucmm_ = device_.ucmm();
    if (ucmm_ && !AllocatedOverUcmm()) return;
    if (!SizeMatches(true, true)) return;
    if (Set_ExpectedPacketRate(port_, device_, ucmm_, kCosCyclic, &end_) != 0) {
      if (end_.Raised()) return;
      ReleaseAndWait();
      DropExplicit();
      Sleep(1000);
      return;
    }
    Established();
    while (ExchangeWithPoll() && Sleep(PassPause())) {
    }
  }

  // One pass of the loop beside a poll connection; false when the pass
  // ends the connection.
  bool ExchangeWithPoll() {
    const uint16_t result = ReadInput();
    if (Ended() || Lost(result)) return false;
    if (result == 0) SendAck();
    if (result == DNM_IOInputLengthError) {
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
    JoinConnectionSet();
    if (MsgBuffer* acks = device_.buffer(kPoll)) acks->ClearBuffer();
    buffer_.ClearBuffer();
    ucmm_ = device_.ucmm();
    if (ucmm_ && !AllocatedOverUcmm()) return;
    if (!SizeMatches(false, false) || !SizeMatches(true, false)) return;
    if (!RatesSet()) return;
    Established();
    while (ExchangeWithoutPoll() && Sleep(PassPause())) {
    }
  }

  // The poll instance carries the master's outputs here: its rate is set
  // first, then the COS/cyclic one.
  bool RatesSet() {
    if (Set_ExpectedPacketRate(port_, device_, ucmm_, kPoll, &end_) != 0) {
      if (end_.Raised()) return false;
      if (ReleaseConnection(port_, device_, false, &end_) != 0) {
        ReleaseConnection(port_, device_, true, &end_);
      }
    } else if (Set_ExpectedPacketRate(port_, device_, ucmm_, kCosCyclic, &end_) != 0) {
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
    if (Ended() || Lost(result)) return false;
    if (result == 0 && SendAck() == 0 && SendOutput()) {
      const bool acknowledged = OutputAcknowledged();
      if (end_.Raised()) return false;
      unacknowledged_ = acknowledged ? 0 : unacknowledged_ + 1;
      if (!acknowledged) device_.Count(kCOS_CyclicWithoutPollACKNoResponse);
      if (unacknowledged_ == 2) {
        TraceLine("COS_Cyclic Output No Acknowledge!");
        SetPollRate();
        EndConnection(kCosCyclic, true);
        return false;
      }
    }
    if (result == DNM_IOInputLengthError) return Restart();
    if (StopRequested()) {
      SetPollRate();
      ParkWhileStopped();
      DropExplicit();
      return false;
    }
    return true;
  }

  // The device drops the connection when four expected packet rates pass
  // without an acknowledgement: a pass at least once per rate.
  uint32_t PassPause() const {
    const uint32_t rate = connection_.expected_packet_rate.load();
    return rate == 0 ? kLoopPauseMs : std::min(kLoopPauseMs, rate);
  }

  void Established() {
    last_input_ = platform::GetTickCount();
    unacknowledged_ = 0;
    broken_in_a_row_ = 0;
    device_.set_status(kCosCyclic, kStatusEstablished);
  }

  // The slave produces at least once per expected packet rate (a cyclic
  // production or a heartbeat); nothing for four of them means the
  // connection is gone. 0 when the rate is 0 (changes only, no limit).
  uint32_t InactivityLimit() const { return 4u * connection_.expected_packet_rate.load(); }
  uint32_t MsSinceInput() const { return platform::GetTickCount() - last_input_; }

  // Ends the connection when its set went, or no whole input came for the
  // inactivity time (at rate 0: for kBrokenInARow productions); true then.
  bool Lost(uint16_t result) {
    if (result == 0) last_input_ = platform::GetTickCount();
    if (ConnectionSetGone()) {
      EndConnection(kCosCyclic, false);
      return true;
    }
    const uint32_t limit = InactivityLimit();
    if (TooManyBroken(broken_in_a_row_)) {
      TraceLine("COS_Cyclic Inputs Broken!");
      return LostWith(broken_in_a_row_);
    }
    if (result == 0 || limit == 0 || MsSinceInput() < limit) return false;
    TraceLine("COS_Cyclic No Input!");
    return LostWith(static_cast<uint16_t>(MsSinceInput() / (limit / 4)));
  }

  uint16_t BrokenInARow(const NewestInput& input) const {
    if (input.whole()) return input.broken();
    return static_cast<uint16_t>(std::min(broken_in_a_row_ + input.broken(), 0xFFFF));
  }
  bool TooManyBroken(uint16_t in_a_row) const {
    return InactivityLimit() == 0 && in_a_row >= kBrokenInARow;
  }

  bool LostWith(uint16_t missed) {
    device_.NoteSetupFailure(kCosCyclic, SetupFailure::Lost(missed));
    EndConnection(kCosCyclic, true);
    return true;
  }

  bool Restart() {
    SetPollRate();
    device_.set_status(kCosCyclic, kStatusNotEstablished);
    DropExplicit();
    return false;
  }

  // A refusal is asked again until the device allocates or is stopped.
  bool AllocatedOverUcmm() {
    for (;;) {
      const UcmmAllocation allocation = AllocateOverUcmm();
      if (allocation == UcmmAllocation::kAllocated) return true;
      if (allocation == UcmmAllocation::kEnded) return false;
      if (allocation == UcmmAllocation::kUnanswered) {
        DropExplicit();
        Sleep(1000);
        return false;
      }
      if (!Sleep(1000)) return false;
      if (StopRequested()) {
        StopRelease();
        return false;
      }
    }
  }

  // The slave's produced (or consumed) size of the COS/cyclic instance
  // against the configured input (or output) size.
  bool SizeMatches(bool produced, bool pause_on_mismatch) {
    const SizeCheck check = CheckSize(produced);
    if (check != SizeCheck::kDiffers) return check == SizeCheck::kMatches;
    ReleaseAndWait();
    DropExplicit();  // released with the set, as the poll worker says
    if (pause_on_mismatch && !Sleep(1000)) return false;
    ParkWhileStopped();
    DropExplicit();
    return false;
  }

  // Takes every input message held into the input area, where the newest
  // whole one stays: 0, or 2201 none came whole in time, 2202 one of the
  // wrong length (it ends the pass). Counts the failures.
  uint16_t ReadInput() {
    const uint16_t result = TakeInputs();
    if (result == DNM_IOFragmentNotReceived) device_.Count(kCOS_CyclicWithPollNoResponse);
    if (result == DNM_IOInputLengthError) device_.Count(kCOS_CyclicWithPollErrorResponse);
    return result;
  }

  uint16_t TakeInputs() {
    using Step = NewestInput::Step;
    const uint32_t start = platform::GetTickCount();
    const size_t length = std::min<size_t>(connection_.input_size.load(), kMaxIoMessage);
    NewestInput input(length);
    CANMsg frame{};
    bool after_loss = false;
    Step step = Step::kTaken;
    while (step != Step::kWrongLength && !TooManyBroken(BrokenInARow(input)) &&
           NextInput(input, start, frame, after_loss)) {
      step = input.Take(frame, after_loss);
      if (step == Step::kFragmentError) device_.Count(kCOS_CyclicWithPollFragmentError);
    }
    if (input.whole()) connection_.input().CopyIn(input.message(), length);
    broken_in_a_row_ = BrokenInARow(input);
    if (step == Step::kWrongLength) return DNM_IOInputLengthError;
    return input.whole() ? 0 : DNM_IOFragmentNotReceived;
  }

  // The next input frame, and whether frames were lost right before it:
  // waited for until the pass has a whole message and none begun, from then
  // on only one already held.
  bool NextInput(const NewestInput& input, uint32_t start, CANMsg& frame, bool& after_loss) {
    if (input.Waiting()) return WaitInput(frame, after_loss, start);
    return TakeHeldInput(frame, after_loss);
  }

  bool TakeHeldInput(CANMsg& frame, bool& after_loss) {
    return buffer_.GetMsg(frame, FrameKey::Id(InputId(mac_)), after_loss) == 0;
  }

  // Takes the next input frame, in the order of arrival; false once the
  // read has taken 3000 ms, or sooner when the inactivity time runs out.
  // Once it has, a frame already held is still taken: inputs held show the
  // device alive, however long after the last one the pass began (a short
  // rate, or a long wait for an output's acknowledgement).
  bool WaitInput(CANMsg& frame, bool& after_loss, uint32_t read_start) {
    const auto left = [now = platform::GetTickCount()](uint32_t since, uint32_t limit) {
      return now - since < limit ? limit - (now - since) : 0u;
    };
    uint32_t wait = left(read_start, kWaitMs);
    if (const uint32_t inactivity = InactivityLimit()) {
      wait = std::min(wait, left(last_input_, inactivity));
    }
    if (wait == 0) return TakeHeldInput(frame, after_loss);
    return WaitFrame(buffer_, {FrameKey::Id(InputId(mac_))}, wait, "WaitCOS_CyclicResponse( )",
                     "WaitCOS_CyclicResponse( )", frame, &after_loss);
  }

  uint16_t SendAck() {
    TraceLine("Send_COS_Cyclic ACK");
    const uint16_t sent = port_.SendLocked(info_.RequestId(mac_), 0, nullptr, SendClass::kIo);
    if (sent == 0) return 0;
    device_.Count(kCOS_CyclicWithPollSendError);
    return TraceCANResult("SendCOS_CyclicACK( )", "SendCmd( )", sent);
  }

  // Sends the output message; false when that failed (counted). A failed
  // send (mostly a transmit queue that stayed full on a busy bus) says
  // nothing of the slave: the connection stands, and the next pass sends
  // the newest output. A port that cannot send at all loses the explicit
  // connection, and this one goes with its set.
  bool SendOutput() {
    const uint16_t sent =
        SendOutputMessage(port_, mac_, KindInfo(kPoll).RequestId(mac_), connection_.output(),
                          connection_.output_size.load(), "Send_COS_Cyclic_OutputMsg");
    if (sent == 0) return true;
    Trace("COS_Cyclic Thread ---> Send_COS_Cyclic_OutputMsg( ) return: %d", sent);
    device_.Count(kCOS_CyclicWithoutPollSendError);
    return false;
  }

  bool OutputAcknowledged() {
    MsgBuffer* acks = device_.buffer(kPoll);
    CANMsg ack{};
    return acks != nullptr &&
           WaitFrame(*acks, {FrameKey::Len(OutputAckId(mac_), 0)}, kWaitMs,
                     "WaitCOS_CyclicACKResponse( )", "WaitCOS_CyclicACKResponse( )", ack);
  }

  uint32_t last_input_ = 0;  // tick of the last whole input
  uint16_t broken_in_a_row_ = 0;  // productions broken since the last whole input
  int unacknowledged_ = 0;   // outputs in a row the slave did not acknowledge
};

}  // namespace

void CosCyclicWorker(CANPort& port, Device_Info& device, ConnectionObject& connection) {
  CosCyclicWorkerLoop(port, device, connection).Run();
}

}  // namespace dnm
