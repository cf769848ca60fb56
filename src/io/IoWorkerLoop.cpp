#include "io/IoWorkerLoop.h"

#include "device/ExplicitExchange.h"
#include "io/SetupServices.h"
#include "port/FrameText.h"
#include "trace/Trace.h"

namespace dnm {

bool IoWorkerLoop::Sleep(uint32_t ms) {
  ended_ = ended_ || end_.SleepFor(ms);
  return !ended_;
}

void IoWorkerLoop::ParkWhileStopped() {
  while (StopRequested() && Sleep(500)) {
  }
}

IoWorkerLoop::SizeCheck IoWorkerLoop::CheckSize(bool produced) {
  uint16_t size = 0;
  const int result = produced
                         ? GetProducedConnectionSize(port_, device_, ucmm_, kind_, size, &end_)
                         : GetConsumedConnectionSize(port_, device_, ucmm_, kind_, size, &end_);
  if (result != 0) {
    if (!end_.Raised()) DropExplicit();
    return SizeCheck::kUnread;
  }
  const uint16_t configured =
      (produced ? connection_.input_size.load() : connection_.output_size.load()) & 0xFF;
  Trace(
      produced ? "%s Get Produced_Connection_Size is %d" : "%s Get Consumed_Connection_Size is %d",
      info_.thread_text, size);
  Trace(produced ? "%s Configure Produced_Connection_Size is %d"
                 : "%s Configure Consumed_Connection_Size is %d",
        info_.thread_text, configured);
  if (size == configured) return SizeCheck::kMatches;
  device_.NoteSetupFailure(kind_, SetupFailure::SizeMismatch(produced, size, configured));
  return SizeCheck::kDiffers;
}

IoWorkerLoop::UcmmAllocation IoWorkerLoop::AllocateOverUcmm() {
  const int result = AllocateUCMM(port_, device_, &end_);
  if (result == kAnswered) return UcmmAllocation::kAllocated;
  if (end_.Raised()) return UcmmAllocation::kEnded;
  if (result == kErrorResponse) {
    TraceLine(info_.ucmm_refused_text);
    return UcmmAllocation::kRefused;
  }
  TraceLine(info_.ucmm_unanswered_text);
  return UcmmAllocation::kUnanswered;
}

bool IoWorkerLoop::WaitFrame(MsgBuffer& buffer, std::initializer_list<FrameKey> keys,
                             uint32_t limit_ms, const char* count_name, const char* taken_name,
                             CANMsg& frame, bool* after_loss) {
  ResponseWait waiting(buffer, limit_ms, limit_ms, &end_);
  bool lost = false;
  while (waiting.NextPass()) {
    Trace("%s   DesMACID %d  DataCount: %d", count_name, mac_, waiting.count());
    for (const FrameKey& key : keys) {
      if (buffer.GetMsg(frame, key, lost) != 0) continue;
      if (after_loss != nullptr) *after_loss = lost;
      Trace("%s   DesMACID %d ,Response Msg " DNM_FRAME_FORMAT, taken_name, mac_,
            DNM_FRAME_FIELDS(frame));
      return true;
    }
  }
  return false;
}

}  // namespace dnm
