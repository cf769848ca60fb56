#include "io/IoFragmentation.h"

#include <cstring>

namespace dnm {

namespace {

constexpr uint8_t kFirst = 0x00;
constexpr uint8_t kMiddle = 0x40;
constexpr uint8_t kLast = 0x80;
constexpr size_t kPerFragment = 7;

CANMsg IoFrame(uint32_t id, uint8_t lead, const uint8_t* bytes, size_t count) {
  CANMsg frame{};
  frame.id = id;
  frame.data[0] = lead;
  std::memcpy(frame.data + 1, bytes, count);
  frame.len = static_cast<uint8_t>(1 + count);
  return frame;
}

}  // namespace

IoFrames SplitIoMessage(uint32_t id, const uint8_t* message, size_t length) {
  IoFrames out;
  if (length > kMaxIoMessage) length = kMaxIoMessage;
  if (length <= 8) {
    CANMsg& frame = out.frames[out.count++];
    frame.id = id;
    frame.len = static_cast<uint8_t>(length);
    if (length > 0) std::memcpy(frame.data, message, length);
    return out;
  }
  out.frames[out.count++] = IoFrame(id, kFirst, message, kPerFragment);
  size_t offset = kPerFragment;
  uint8_t count = 1;
  for (; length - offset > kPerFragment; offset += kPerFragment, ++count) {
    out.frames[out.count++] = IoFrame(id, kMiddle | count, message + offset, kPerFragment);
  }
  out.frames[out.count++] = IoFrame(id, kLast | count, message + offset, length - offset);
  return out;
}

uint8_t IoReassembly::ExpectedByte() const {
  if (count_ == 0) return kFirst;
  return static_cast<uint8_t>((ExpectingMiddle() ? kMiddle : kLast) | (count_ & 0x3F));
}

IoReassembly::Step IoReassembly::Take(const CANMsg& fragment) {
  if (!Fragmented() || offset_ >= length_ || fragment.len < 1 || fragment.len > 8 ||
      fragment.data[0] != ExpectedByte()) {
    return Step::kError;
  }
  const size_t carried = fragment.len - 1u;
  const size_t left = length_ - offset_;
  const bool last = count_ > 0 && left <= kPerFragment;
  if (last ? carried != left : carried != kPerFragment) return Step::kError;
  std::memcpy(area_.data() + offset_, fragment.data + 1, carried);
  offset_ += carried;
  ++count_;
  return last ? Step::kDone : Step::kMore;
}

}  // namespace dnm
