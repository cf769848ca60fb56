#include "BitTiming.h"

namespace vcan {

uint32_t FrameBits(const Frame& frame) {
  const uint32_t data_bits = frame.rtr ? 0 : 8u * frame.len;
  const uint32_t stuff_bits = (34 + data_bits - 1) / 4;
  return 47 + data_bits + stuff_bits;
}

Clock::duration BitTime(uint32_t bits, uint32_t baud) {
  const auto nanoseconds = std::chrono::nanoseconds(uint64_t{bits} * 1'000'000'000u / baud);
  return std::chrono::duration_cast<Clock::duration>(nanoseconds);
}

bool SupportedBaud(uint32_t baud) {
  return baud == kBaud125k || baud == kBaud250k || baud == kBaud500k;
}

std::optional<uint32_t> BaudFromSelector(uint8_t selector) {
  switch (selector) {
    case 6:
      return kBaud500k;
    case 5:
      return kBaud250k;
    case 4:
      return kBaud125k;
    default:
      return std::nullopt;
  }
}

std::optional<uint32_t> BaudFromKbit(long kbit) {
  switch (kbit) {
    case 500:
      return kBaud500k;
    case 250:
      return kBaud250k;
    case 125:
      return kBaud125k;
    default:
      return std::nullopt;
  }
}

}  // namespace vcan
