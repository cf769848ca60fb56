#include "device/Fragmenter.h"

#include <algorithm>

#include "device/ExplicitRoute.h"

namespace dnm {

std::vector<CANMsg> Fragment(uint32_t id, uint8_t header, const std::vector<uint8_t>& head,
                             const uint8_t* value, size_t length) {
  std::vector<CANMsg> frames;
  size_t at = 0;
  uint8_t count = 0;
  while (at < length || frames.empty()) {
    CANMsg frame{};
    frame.id = id;
    frame.data[0] = header | kFragmentFlag;
    size_t room = 6;
    size_t fill = 2;
    if (frames.empty()) {
      frame.data[1] = FragmentByte(FragmentType::kFirst, 0);
      std::copy(head.begin(), head.end(), frame.data + 2);
      fill += head.size();
      room -= head.size();
    }
    const size_t take = std::min(room, length - at);
    std::copy(value + at, value + at + take, frame.data + fill);
    at += take;
    frame.len = static_cast<uint8_t>(fill + take);
    if (!frames.empty()) {
      frame.data[1] =
          FragmentByte(at < length ? FragmentType::kMiddle : FragmentType::kLast, count);
    }
    frames.push_back(frame);
    ++count;
  }
  return frames;
}

CANMsg FragmentAck(uint32_t id, uint8_t header, uint8_t count, uint8_t status) {
  CANMsg ack{};
  ack.id = id;
  ack.len = 3;
  ack.data[0] = header | kFragmentFlag;
  ack.data[1] = FragmentByte(FragmentType::kAck, count);
  ack.data[2] = status;
  return ack;
}

}  // namespace dnm
