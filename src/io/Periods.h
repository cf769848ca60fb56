// The library-wide pauses of the I/O workers, in milliseconds: between two
// polls of a device, and between two bit-strobe commands of a port. Written
// by the application's thread, read by every worker at its next sleep.
#pragma once

#include <atomic>
#include <cstdint>

namespace dnm {

inline std::atomic<uint32_t>& PollPeriod() {
  static std::atomic<uint32_t> period{100};
  return period;
}

inline std::atomic<uint32_t>& BitStrobePeriod() {
  static std::atomic<uint32_t> period{500};
  return period;
}

}  // namespace dnm
