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

FragmentType TypeOf(uint8_t fragment_byte) {
  return static_cast<FragmentType>(fragment_byte >> 6);
}

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

// The awaited count's middle fragment (full) or last fragment (at least one value byte) goes
// on; a repeat of the fragment before is acknowledged again, except a last fragment, which
// never had a successor to be awaited. Anything else, also a frame too short to carry its
// fragment byte, is out of sequence.
ExplicitReassembly::Result ExplicitReassembly::TakeNext(const CANMsg& fragment) {
  const uint8_t carried = CarriedBytes(fragment);
  if (carried < kValueOffset) return End(Step::kMalformed);
  const uint8_t fragment_byte = fragment.data[1];
  const FragmentType type = TypeOf(fragment_byte);
  const uint8_t count = fragment_byte & 0x3F;
  const uint8_t awaited_count = awaited() & 0x3F;
  const uint8_t previous = (awaited() - 1) & 0x3F;
  const bool goes_on =
      count == awaited_count && (type == FragmentType::kMiddle || type == FragmentType::kLast);
  if (goes_on) {
    const bool last = type == FragmentType::kLast;
    if (carried < (last ? kShortestLast : kFullFragment)) return End(Step::kMalformed);
    return Append(fragment, kValueOffset, carried - kValueOffset, last);
  }
  if (count != previous) return End(Step::kMalformed);
  if (type == FragmentType::kLast) return {Step::kRepeat, std::nullopt};
  return {Step::kRepeat, previous};
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
