// Reading a fuzzer's bytes as a sequence of values; once the bytes run out every read gives 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "VELKCAN.h"

namespace fuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return offset_ >= size_; }
  uint8_t Byte() { return empty() ? 0 : data_[offset_++]; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }

  // A frame as a receive thread may take it from a driver: any length byte (also above 8) and
  // eight data bytes, of which only the first len belong to the frame.
  CANMsg Frame(uint32_t id) {
    CANMsg msg{};
    msg.id = id;
    msg.len = Byte() & 0x0F;
    for (auto& byte : msg.data) byte = Byte();
    return msg;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

}  // namespace fuzz
