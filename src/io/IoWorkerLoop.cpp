#include "io/IoWorkerLoop.h"

#include "device/ExplicitExchange.h"
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
