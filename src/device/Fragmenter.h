// The explicit fragmentation protocol: splitting a value into fragments and
// the fragment protocol byte.
#pragma once

#include <cstdint>
#include <vector>

#include "VELKCAN.h"

namespace dnm {

enum class FragmentType : uint8_t { kFirst = 0, kMiddle = 1, kLast = 2, kAck = 3 };

inline uint8_t FragmentByte(FragmentType type, uint8_t count) {
  return static_cast<uint8_t>((static_cast<uint8_t>(type) << 6) | (count & 0x3F));
}

// The frames of a fragmented request on identifier id: the first fragment
// carries `head` (the service and its path, up to 6 bytes) and the first
// 6 - head.size() value bytes, each middle fragment 6 more, the last the
// rest (1 to 6). header is the request's byte 0 without the fragment flag.
std::vector<CANMsg> Fragment(uint32_t id, uint8_t header, const std::vector<uint8_t>& head,
                             const uint8_t* value, size_t length);

// An acknowledgement of fragment count with status (0 success, 1 error).
CANMsg FragmentAck(uint32_t id, uint8_t header, uint8_t count, uint8_t status);

}  // namespace dnm
