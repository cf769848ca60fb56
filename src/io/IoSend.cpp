#include "io/IoSend.h"

#include <algorithm>

#include "device/ConnectionObject.h"
#include "io/IoFragmentation.h"
#include "port/CANPort.h"
#include "trace/Trace.h"

namespace dnm {

uint16_t SendOutputMessage(CANPort& port, uint8_t mac, uint32_t id, const DataArea& output,
                           size_t length, const char* name) {
  length = std::min(length, kMaxIoMessage);
  uint8_t message[kMaxIoMessage] = {};
  output.CopyOut(message, length);
  const IoFrames frames = SplitIoMessage(id, message, length);
  const bool fragmented = frames.count > 1;
  Trace(fragmented ? "%s is Fragment!" : "%s is NonFragment!", name);
  if (!fragmented) {
    Trace("%s( ) Board %d  Port %d  ConnectionID %x ready to send", name, port.board_number(),
          port.port_number(), id);
  }
  for (size_t i = 0; i < frames.count; ++i) {
    const CANMsg& frame = frames.frames[i];
    const uint16_t sent = port.SendLocked(frame.id, frame.len, frame.data, SendClass::kIo);
    if (sent == 0) continue;
    Trace(fragmented ? "%sFrag( ) Board %d  Port %d  DesMACID %x SendCmd Error!"
                     : "%s( ) Board %d  Port %d  DesMACID %x SendCmd Error!",
          name, port.board_number(), port.port_number(), mac);
    return sent;
  }
  return 0;
}

}  // namespace dnm
