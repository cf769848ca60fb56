// Frames of any length and bytes fed to the reassembly of a fragmented explicit answer, into
// an area of any size up to the longest value. Nothing is written past the area; only the
// fragment of the count awaited is taken; the area is left as it was unless the value
// completes, and then it holds the value bytes of the fragments taken, in order; a value
// refused as too long does not fit; and the same frames with other bytes past their length
// give the same steps.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzInput.h"
#include "device/ExplicitReassembly.h"

namespace {

using Step = dnm::ExplicitReassembly::Step;

constexpr uint8_t kUntouched = 0xA5;

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

CANMsg OtherBytesPastLength(CANMsg frame) {
  for (size_t i = std::min<size_t>(frame.len, 8); i < 8; ++i) frame.data[i] ^= 0xFF;
  return frame;
}

// The value bytes a fragment carries: after the service byte in the first fragment, after the
// fragment byte in the others.
void AddValueBytes(const CANMsg& fragment, bool first, std::vector<uint8_t>& value) {
  const size_t from = first ? 3 : 2;
  const size_t carried = std::max(from, std::min<size_t>(fragment.len, 8));
  value.insert(value.end(), fragment.data + from, fragment.data + carried);
}

bool Untouched(const uint8_t* area, size_t from, size_t to) {
  return std::all_of(area + from, area + to, [](uint8_t byte) { return byte == kUntouched; });
}

// A completed value is in the area, followed by what was there; else the area is untouched.
void CheckEnd(Step step, const uint8_t* area, uint32_t capacity, const std::vector<uint8_t>& value,
              uint32_t length) {
  if (step != Step::kComplete) {
    Check(Untouched(area, 0, capacity));
    Check(step != Step::kTooLong || value.size() > capacity);
    return;
  }
  Check(length == value.size() && std::equal(value.begin(), value.end(), area));
  Check(Untouched(area, length, capacity));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const uint32_t capacity = input.Byte();
  // Exactly the area's size, so that a write past it is caught.
  const auto area = std::make_unique<uint8_t[]>(capacity);
  const auto twin_area = std::make_unique<uint8_t[]>(capacity);
  std::fill_n(area.get(), capacity, kUntouched);
  dnm::ExplicitReassembly reassembly(area.get(), capacity);
  dnm::ExplicitReassembly twin(twin_area.get(), capacity);
  std::vector<uint8_t> value;
  while (!input.empty()) {
    const CANMsg fragment = input.Frame(0x42B);
    const uint8_t awaited = reassembly.awaited();
    const auto result = reassembly.Take(fragment);
    const auto twin_result = twin.Take(OtherBytesPastLength(fragment));
    Check(result.step == twin_result.step && result.ack == twin_result.ack);
    Check(reassembly.length() <= capacity);
    if (result.step == Step::kRepeat) {
      Check(awaited > 0 && result.ack == awaited - 1 && reassembly.awaited() == awaited);
      continue;
    }
    if (result.step != Step::kMalformed) {
      Check(awaited == 0 || (fragment.data[1] & 0x3F) == awaited);
      AddValueBytes(fragment, awaited == 0, value);
    }
    if (result.step == Step::kMore) {
      Check(result.ack == awaited);
      continue;
    }
    CheckEnd(result.step, area.get(), capacity, value, reassembly.length());
    return 0;
  }
  return 0;
}
