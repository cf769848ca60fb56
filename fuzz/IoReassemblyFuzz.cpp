// I/O fragments of any kind fed to the reassembly of a message of a given length. A message is
// complete only when the fragments taken are exactly those the sender would have made of it,
// nothing is written past the message area, and a length that is never sent in fragments (8 or
// less, or above 64) takes no fragment at all.
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzInput.h"
#include "io/IoFragmentation.h"

namespace {

bool SameFrame(const CANMsg& a, const CANMsg& b) {
  return a.len == b.len && std::memcmp(a.data, b.data, a.len) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const size_t length = input.Byte();
  const bool fragmented = length > 8 && length <= dnm::kMaxIoMessage;
  auto reassembly = std::make_unique<dnm::IoReassembly>(length);
  std::vector<CANMsg> taken;
  while (!input.empty()) {
    const CANMsg fragment = input.Frame(0x3C5);
    const auto step = reassembly->Take(fragment);
    if (!fragmented && step != dnm::IoReassembly::Step::kError) __builtin_trap();
    if (step == dnm::IoReassembly::Step::kError) {
      reassembly = std::make_unique<dnm::IoReassembly>(length);
      taken.clear();
      continue;
    }
    taken.push_back(fragment);
    if (step == dnm::IoReassembly::Step::kMore) continue;
    const dnm::IoFrames expected = dnm::SplitIoMessage(0x3C5, reassembly->message(), length);
    if (expected.count != taken.size()) __builtin_trap();
    for (size_t i = 0; i < taken.size(); ++i) {
      if (!SameFrame(expected.frames[i], taken[i])) __builtin_trap();
    }
    reassembly = std::make_unique<dnm::IoReassembly>(length);
    taken.clear();
  }
  return 0;
}
