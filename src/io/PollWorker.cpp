// The poll worker of one device: waits for the device's explicit
// connection, checks the slave's connection sizes, sets the expected packet
// rate, then polls the device every PollPeriod, counting failures and
// setting the connection up again when it is lost. Every sleep and wait
// ends at once when the worker is to end.
#include <algorithm>
#include <optional>

#include "VELKCANDNM.h"
#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "device/ExplicitExchange.h"
#include "device/Workers.h"
#include "io/IoFragmentation.h"
#include "io/IoSend.h"
#include "io/IoWorkerLoop.h"
#include "io/Periods.h"
#include "io/SetupServices.h"
#include "port/CANPort.h"
#include "port/FrameText.h"
#include "port/Identifiers.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

constexpr uint16_t kStatusProducedSize = 1;
constexpr uint16_t kStatusConsumedSize = 2;
constexpr uint16_t kStatusAllocationRefused = 3;
constexpr uint32_t kResponseWaitMs = 5000;

uint32_t PollResponseId(uint8_t mac) {
  return 0x3C0u + mac;
}

class PollWorkerLoop : IoWorkerLoop {
 public:
  PollWorkerLoop(CANPort& port, Device_Info& device, ConnectionObject& connection)
      : IoWorkerLoop(port, device, connection, kPoll) {}

  void Run() {
    while (!Ended()) SetUpPass();
  }

 private:
  int Release(bool wait) { return ReleaseConnectionSet(port_, device_, ucmm_, wait, &end_); }
  bool HasCosOrCyclic() const { return device_.Has(kChoiceCos) || device_.Has(kChoiceCyclic); }

  void SetUpPass() {
    device_.set_status(kPoll, kStatusNotEstablished);
    ucmm_ = device_.ucmm();
    while (device_.status(kExplicit) != kStatusEstablished) {
      if (StopRequested()) {
        Release(true);
        ParkWhileStopped();
        return;
      }
      if (!Sleep(1000)) return;
      Trace("Poll is waiting Board %d  Port %d  DesMACID %d ", port_.board_number(),
            port_.port_number(), mac_);
    }
    JoinConnectionSet();
    // The COS/cyclic worker pauses while the poll connection is set up.
    if (HasCosOrCyclic()) device_.set_stop_flag(kCosCyclic, 1);
    buffer_.ClearBuffer();
    if (ucmm_ && !AllocatedOverUcmm()) return;
    if (HasCosOrCyclic()) device_.set_stop_flag(kCosCyclic, 0);
    if (!SizeMatches(true) || !SizeMatches(false)) return;
    if (Set_ExpectedPacketRate(port_, device_, ucmm_, kPollInstance, &end_) != 0) {
      if (Ended()) return;
      Release(true);
      DropExplicit();
      buffer_.ClearBuffer();
      Sleep(1000);
      return;
    }
    streak_ = 0;
    device_.ClearPollGaps();
    device_.set_status(kPoll, kStatusEstablished);
    PollLoop();
  }

  bool AllocatedOverUcmm() {
    const int result = AllocateUCMM(port_, device_, &end_);
    if (result == kAnswered || end_.Raised()) return result == kAnswered;
    if (result == kErrorResponse) {
      TraceLine("Poll_Thread( ) Allocate Poll Connection Error Response!");
      device_.set_status(kPoll, kStatusAllocationRefused);
      if (!Sleep(1000)) return false;
      Release(true);
      buffer_.ClearBuffer();
      DropExplicit();
      return false;
    }
    TraceLine("Poll_Thread( ) Allocate Poll Connection No Response!");
    ReleaseConnection_UCMM(port_, device_, true, &end_);
    DropExplicit();
    Sleep(1000);
    return false;
  }

  // Compares the slave's produced (or consumed) size with the configured
  // input (or output) size, by their low bytes.
  bool SizeMatches(bool produced) {
    uint16_t size = 0;
    const uint16_t result =
        produced ? GetProducedConnectionSize(port_, device_, ucmm_, kPollInstance, size, &end_)
                 : GetConsumedConnectionSize(port_, device_, ucmm_, kPollInstance, size, &end_);
    if (result != 0) {
      if (!end_.Raised()) DropExplicit();
      return false;
    }
    const uint16_t configured =
        (produced ? connection_.input_size.load() : connection_.output_size.load()) & 0xFF;
    Trace(produced ? "Poll_Thread( ) Get Produced_Connection_Size is %d"
                   : "Poll_Thread( ) Get Consumed_Connection_Size is %d",
          size);
    Trace(produced ? "Poll_Thread( ) Configure Produced_Connection_Size is %d"
                   : "Poll_Thread( ) Configure Consumed_Connection_Size is %d",
          configured);
    if (size == configured) return true;
    device_.NoteSetupFailure(kPoll, SetupFailure::SizeMismatch(produced, size, configured));
    Release(true);
    if (!produced) DropExplicit();
    buffer_.ClearBuffer();
    device_.set_status(kPoll, produced ? kStatusProducedSize : kStatusConsumedSize);
    if (!Sleep(1000)) return false;
    ParkWhileStopped();
    DropExplicit();
    return false;
  }

  void PollLoop() {
    std::optional<uint32_t> last_start;
    for (;;) {
      if (ConnectionSetGone()) return EndConnection(kPoll, false);
      NotePollStart(last_start);
      if (SendPollCommand() != 0) {
        device_.Count(kPollSendError);
        Release(true);
        buffer_.ClearBuffer();
        DropExplicit();
        return;
      }
      if (!Sleep(10)) return;
      const uint16_t result = ReceivePollResponse();
      if (Ended()) return;
      if (result != 0 && ConnectionSetGone()) return EndConnection(kPoll, false);
      if (result == 0) {
        streak_ = 0;
      } else if (Failed(result)) {
        ConnectionLost();
        return;
      }
      if (StopRequested()) {
        Release(false);
        buffer_.ClearBuffer();
        ParkWhileStopped();
        DropExplicit();
        return;
      }
      if (!Sleep(PollPeriod().load())) return;
    }
  }

  // From the second poll on, adds the time since the start of the one
  // before to the device's achieved poll period.
  void NotePollStart(std::optional<uint32_t>& last_start) {
    const uint32_t now = platform::GetTickCount();
    if (last_start) device_.NotePollGap(now - *last_start);
    last_start = now;
  }

  // Counts a failed exchange; true when the connection is lost: a missing
  // answer right after another failed exchange of any kind, however many
  // came before.
  bool Failed(uint16_t result) {
    if (result == DNM_PollNoResponse) {
      TraceLine("Poll No Response!!!!!!!!!!!!!!!!!!!!!!!!!!!");
      device_.Count(kPollNoResponse);
      if (streak_ >= 1) return true;
    } else if (result == DNM_PollResponseDataError) {
      device_.Count(kPollErrorResponse);
    } else if (result == DNM_PollFragmentError) {
      device_.Count(kPollFragmentError);
    }
    TraceLine("ReSend Poll I/O!!!!!!!!!!!");
    ++streak_;
    return false;
  }

  void ConnectionLost() {
    device_.NoteSetupFailure(kPoll, SetupFailure::Lost(static_cast<uint16_t>(streak_ + 1)));
    device_.set_status(kPoll, DNM_PollNoResponse);
    if (Release(true) != 0) Release(true);
    buffer_.ClearBuffer();
    DropExplicit();
  }

  // Sends the output area as one poll command, in fragments when it is
  // longer than 8 bytes. An answer still held from an earlier poll is
  // dropped first: it must not pass for the answer to this one.
  uint16_t SendPollCommand() {
    buffer_.ClearBuffer();
    return SendOutputMessage(port_, mac_, Group2Id(mac_, 5), connection_.output(),
                             connection_.output_size.load(), "Send_Poll_OutputMsg");
  }

  uint16_t ReceivePollResponse() {
    const size_t length = std::min<size_t>(connection_.input_size.load(), kMaxIoMessage);
    CANMsg frame{};
    if (length <= 8) {
      if (!WaitPollResponse(frame, nullptr)) return DNM_PollNoResponse;
      if (frame.len != length) return DNM_PollResponseDataError;
      connection_.input().CopyIn(frame.data, length);
      return 0;
    }
    IoReassembly reassembly(length);
    for (;;) {
      if (!WaitPollResponse(frame, &reassembly)) return DNM_PollNoResponse;
      const bool middle = reassembly.ExpectingMiddle();
      const IoReassembly::Step step = reassembly.Take(frame);
      if (step == IoReassembly::Step::kMore) continue;
      if (step == IoReassembly::Step::kDone) break;
      if (middle) Trace("My FragCount %d , Msg->data[0] %x", reassembly.count(), frame.data[0]);
      return DNM_PollFragmentError;
    }
    connection_.input().CopyIn(reassembly.message(), length);
    return 0;
  }

  // Takes the next poll response (any, or for a fragmented message one
  // with a fragment byte of the count awaited); false after 5000 ms.
  bool WaitPollResponse(CANMsg& frame, const IoReassembly* reassembly) {
    const uint32_t id = PollResponseId(mac_);
    if (reassembly == nullptr) {
      return WaitFrame(buffer_, {FrameKey::Id(id)}, kResponseWaitMs, "WaitPollResponse( )",
                       "WaitPollResponse( )", frame);
    }
    const uint8_t count = reassembly->count() & 0x3F;
    return WaitFrame(buffer_,
                     {FrameKey::Data(id, 0x00), FrameKey::Data(id, 0x40 | count),
                      FrameKey::Data(id, 0x80 | count)},
                     kResponseWaitMs, "WaitPollResponse( )", "WaitPollFragResponse( )", frame);
  }

  int streak_ = 0;
};

}  // namespace

void PollWorker(CANPort& port, Device_Info& device, ConnectionObject& connection) {
  PollWorkerLoop(port, device, connection).Run();
}

}  // namespace dnm
