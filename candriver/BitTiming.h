// How long a frame occupies the bus, and the baud rates the card knows.
#pragma once

#include <cstdint>
#include <optional>

#include "Frame.h"

namespace vcan {

inline constexpr uint32_t kBaud125k = 125000;
inline constexpr uint32_t kBaud250k = 250000;
inline constexpr uint32_t kBaud500k = 500000;

// Bits of a standard data frame on the wire: SOF, identifier, RTR, IDE, r0, DLC, data, CRC,
// delimiters, ACK, EOF and intermission (47 + 8 * len), plus the worst-case number of stuff
// bits over the stuffed part (34 + 8 * len bits, one stuff bit per 4 after the first). A remote
// frame carries no data field.
uint32_t FrameBits(const Frame& frame);

Clock::duration BitTime(uint32_t bits, uint32_t baud);

// One of the rates above.
bool SupportedBaud(uint32_t baud);

// The controller's baud selector byte: 6 = 500k, 5 = 250k, 4 = 125k.
std::optional<uint32_t> BaudFromSelector(uint8_t selector);

// A rate in kbit/s as written in the network description and the test interface.
std::optional<uint32_t> BaudFromKbit(long kbit);

}  // namespace vcan
