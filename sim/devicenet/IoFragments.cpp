#include "IoFragments.h"

#include <algorithm>

namespace dnsim {
namespace {

constexpr uint8_t kFirstFragmentByte = 0x00;

uint8_t NextCount(uint8_t count) {
  return (count + 1) & kFragmentCountMask;
}

}  // namespace

std::vector<Bytes> SplitIoMessage(std::span<const uint8_t> message, bool skip_count) {
  std::vector<Bytes> frames;
  for (size_t offset = 0, index = 0; offset < message.size(); offset += kIoFragmentBytes, ++index) {
    const size_t size = std::min(kIoFragmentBytes, message.size() - offset);
    const FragmentType type = index == 0                        ? FragmentType::kFirst
                              : offset + size == message.size() ? FragmentType::kLast
                                                                : FragmentType::kMiddle;
    const size_t count = index == 0 || !skip_count ? index : index + 1;
    Bytes frame{FragmentByte(type, static_cast<uint8_t>(count))};
    frame.insert(frame.end(), message.begin() + offset, message.begin() + offset + size);
    frames.push_back(std::move(frame));
  }
  return frames;
}

IoReassembly::Outcome IoReassembly::Take(std::span<const uint8_t> frame, size_t max_size) {
  if (frame.empty()) return Drop();
  const std::span<const uint8_t> bytes = frame.subspan(1);
  if (frame[0] == kFirstFragmentByte) {
    message_.assign(bytes.begin(), bytes.end());
    next_count_ = 1;
  } else {
    const FragmentType type = FragmentTypeOf(frame[0]);
    const bool in_sequence = next_count_ && FragmentCountOf(frame[0]) == *next_count_ &&
                             (type == FragmentType::kMiddle || type == FragmentType::kLast);
    if (!in_sequence) return Drop();
    message_.insert(message_.end(), bytes.begin(), bytes.end());
    next_count_ = NextCount(*next_count_);
  }
  if (message_.size() > max_size) return Drop();
  if (FragmentTypeOf(frame[0]) != FragmentType::kLast) return Outcome::kTaken;
  next_count_.reset();
  return Outcome::kComplete;
}

IoReassembly::Outcome IoReassembly::Drop() {
  next_count_.reset();
  return Outcome::kDropped;
}

}  // namespace dnsim
