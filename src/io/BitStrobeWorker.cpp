// The bit-strobe worker of one device: sets the connection up once the
// explicit (and, where the device has one, the poll) connection stands,
// then keeps the latest response of its device. The port's request thread
// sends the commands; a response is matched to no particular command, a
// wrong-sized one changes nothing, and two missing in a row end the
// connection.
#include <algorithm>

#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "device/ExplicitExchange.h"
#include "device/Workers.h"
#include "io/IoWorkerLoop.h"
#include "io/Periods.h"
#include "io/SetupServices.h"
#include "port/CANPort.h"
#include "port/FrameText.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

constexpr uint32_t kResponseWaitMs = 3000;
constexpr uint32_t kResponseLead = 50;  // the pause is this much shorter than the period

class BitStrobeWorkerLoop : IoWorkerLoop {
 public:
  BitStrobeWorkerLoop(CANPort& port, Device_Info& device, ConnectionObject& connection)
      : IoWorkerLoop(port, device, connection, kBitStrobe) {}

  void Run() {
    while (!Ended()) SetUpPass();
  }

 private:
  void Release() { ReleaseConnectionSet(port_, device_, ucmm_, false, &end_); }

  // Releases, waits while stopped, and has the connection set up again.
  void Stop(bool clear) {
    Release();
    if (clear) buffer_.ClearBuffer();
    ParkWhileStopped();
    DropExplicit();
  }

  void SetUpPass() {
    device_.set_status(kBitStrobe, kStatusNotEstablished);
    ucmm_ = device_.ucmm();
    if (!WaitForExplicit() || !WaitForPoll()) return;
    JoinConnectionSet();
    buffer_.ClearBuffer();
    if (ucmm_ && !AllocatedOverUcmm()) return;
    if (!ProducedSizeMatches()) return;
    if (Set_ExpectedPacketRate(port_, device_, ucmm_, kBitStrobe, &end_) != 0) {
      if (end_.Raised()) return;
      Release();
      DropExplicit();
      Sleep(1000);
      return;
    }
    device_.set_status(kBitStrobe, kStatusEstablished);
    ReceiveLoop();
  }

  // Sleeps 0, 100, ... 900 ms, then 3000 ms at a time while the explicit
  // connection is not set up. False when the pass ends here.
  bool WaitForExplicit() {
    for (uint32_t t = 0; device_.status(kExplicit) == kStatusNotEstablished; t += 100) {
      if (StopRequested()) {
        Stop(true);
        return false;
      }
      if (!Sleep(t < 1000 ? t : 3000)) return false;
    }
    return true;
  }

  // A device that also has a poll connection sets this one up after it.
  bool WaitForPoll() {
    while (device_.Has(kChoicePoll) && device_.status(kPoll) != kStatusEstablished) {
      if (StopRequested()) {
        Stop(true);
        return false;
      }
      if (!Sleep(500)) return false;
    }
    return true;
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
      device_.set_status(kBitStrobe, kStatusAllocationRefused);
      if (!Sleep(1000)) return false;
      buffer_.ClearBuffer();
      if (StopRequested()) {
        Stop(true);
        return false;
      }
      if (!Sleep(500)) return false;
    }
  }

  bool ProducedSizeMatches() {
    const SizeCheck check = CheckSize(true);
    if (check != SizeCheck::kDiffers) return check == SizeCheck::kMatches;
    Release();
    DropExplicit();
    device_.set_status(kBitStrobe, kStatusProducedSize);
    Sleep(1000);
    return false;
  }

  // Keeps the newest response of the device. The connection is lost when
  // two response waits in a row, each at least a command period, see none.
  void ReceiveLoop() {
    for (int missed = 0;;) {
      CANMsg frame{};
      const size_t length = std::min<size_t>(connection_.input_size.load(), 8);
      const bool answered = WaitBitStrobeResponse(frame);
      if (answered && frame.len == length) connection_.input().CopyIn(frame.data, length);
      if (Ended()) return;
      if (ConnectionSetGone()) return EndConnection(kBitStrobe, false);
      missed = answered ? 0 : missed + 1;
      if (!answered) device_.Count(kBitStrobeNoResponse);
      if (missed == 2) {
        TraceLine("BitStrobe No Response!");
        device_.NoteSetupFailure(kBitStrobe, SetupFailure::Lost(static_cast<uint16_t>(missed)));
        return EndConnection(kBitStrobe, true);
      }
      if (StopRequested()) {
        Stop(false);
        return;
      }
      const uint32_t period = BitStrobePeriod().load();
      if (!Sleep(period > kResponseLead ? period - kResponseLead : 0)) return;
    }
  }

  bool WaitBitStrobeResponse(CANMsg& frame) {
    const uint32_t limit = std::max(kResponseWaitMs, BitStrobePeriod().load() + kResponseLead);
    return WaitFrame(buffer_, {FrameKey::Id(info_.ProducedId(mac_))}, limit,
                     "WaitBitStrobeResponse( )", "WaitBitStrobeResponse( )", frame);
  }
};

}  // namespace

void BitStrobeWorker(CANPort& port, Device_Info& device, ConnectionObject& connection) {
  BitStrobeWorkerLoop(port, device, connection).Run();
}

}  // namespace dnm
