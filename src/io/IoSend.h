// Sending an I/O connection's output area as one I/O message.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dnm {

class CANPort;
class DataArea;

// Sends the first `length` bytes of the output area on identifier id, in
// fragments when longer than 8, each frame under the port's SendLock. The
// trace lines carry name (e.g. "Send_Poll_OutputMsg"). Returns 0 or the code
// of the first send that failed; the fragments after it are not sent.
uint16_t SendOutputMessage(CANPort& port, uint8_t mac, uint32_t id, const DataArea& output,
                           size_t length, const char* name);

}  // namespace dnm
