#include "device/ExplicitReassembly.h"

#include <algorithm>
#include <cstring>

#include "device/Fragmenter.h"
#include "port/FrameBytes.h"

namespace dnm {

namespace {

constexpr uint32_t kFirstValueOffset = 3;  // header, fragment byte, service
constexpr uint32_t kValueOffset = 2;       // header, fragment byte
constexpr uint8_t kFullFragment = kMaxFrameData;
constexpr uint8_t kShortestLast = kValueOffset + 1;

}  // namespace

ExplicitReassembly::ExplicitReassembly(uint8_t* area, uint32_t capacity)
    : area_(area), capacity_(std::min(capacity, kMaxGetValue)) {}

ExplicitReassembly::Result ExplicitReassembly::Take(const CANMsg& fragment) {
  if (ended_) return End(Step::kMalformed);
  return taken_ == 0 ? TakeFirst(fragment) : TakeNext(fragment);
}

// The first fragment is full: a shorter one cannot be the start of a fragmented value.
ExplicitReassembly::Result ExplicitReassembly::TakeFirst(const CANMsg& first) {
  if (CarriedBytes(first) < kFullFragment ||
      first.data[1] != FragmentByte(FragmentType::kFirst, 0)) {
    return End(Step::kMalformed);
  }
  if (kFullFragment - kFirstValueOffset > capacity_) return End(Step::kTooLong);
  return Append(first, kFirstValueOffset, kFullFragment - kFirstValueOffset, false);
}

// Only the next fragment goes on: the awaited count's middle fragment (full) or last fragment
// (at least one value byte). The fragment just taken, sent again because the device missed its
// acknowledgement, is acknowledged again. Anything else, a fragment skipped or from further
// back, or a frame too short to carry its fragment byte, is out of sequence.
ExplicitReassembly::Result ExplicitReassembly::TakeNext(const CANMsg& fragment) {
  const uint8_t carried = CarriedBytes(fragment);
  if (carried < kValueOffset) return End(Step::kMalformed);
  const uint8_t fragment_byte = fragment.data[1];
  const uint8_t previous = static_cast<uint8_t>(awaited() - 1);
  const FragmentType previous_type = previous == 0 ? FragmentType::kFirst : FragmentType::kMiddle;
  if (fragment_byte == FragmentByte(previous_type, previous)) return {Step::kRepeat, previous};
  const bool last = fragment_byte == FragmentByte(FragmentType::kLast, awaited());
  if (!last && fragment_byte != FragmentByte(FragmentType::kMiddle, awaited())) {
    return End(Step::kMalformed);
  }
  if (carried < (last ? kShortestLast : kFullFragment)) return End(Step::kMalformed);
  return Append(fragment, kValueOffset, carried - kValueOffset, last);
}

// Acknowledges the fragment and adds its value bytes.
ExplicitReassembly::Result ExplicitReassembly::Append(const CANMsg& fragment, uint32_t offset,
                                                      uint32_t count, bool last) {
  const uint8_t ack = awaited();
  if (length_ + count > capacity_) return End(Step::kTooLong, ack);
  std::memcpy(value_.data() + length_, fragment.data + offset, count);
  length_ += count;
  ++taken_;
  if (!last) return {Step::kMore, ack};
  std::memcpy(area_, value_.data(), length_);
  return End(Step::kComplete, ack);
}

ExplicitReassembly::Result ExplicitReassembly::End(Step step, std::optional<uint8_t> ack) {
  ended_ = true;
  return {step, ack};
}

}  // namespace dnm
