// When a test fails, prints the frames that the virtual card's segments
// carried most recently, in the candump log form, so that a failure shows
// what happened on the bus.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "VirtualCard.h"
#include "vcan_test.h"

namespace dnm::test {
namespace {

template <typename Fn>
Fn CardEntry(void* card, const char* name) {
  return reinterpret_cast<Fn>(dlsym(card, name));
}

void DumpSegment(void* card, int32_t board, int32_t port, std::set<std::string>& dumped) {
  char name[64] = {};
  if (CardEntry<decltype(&VCAN_SegmentName)>(card, "VCAN_SegmentName")(board, port, name,
                                                                       sizeof name) < 0 ||
      !dumped.insert(name).second) {
    return;
  }
  std::vector<VCAN_Frame> frames(256);
  const int32_t count = CardEntry<decltype(&VCAN_RecentFrames)>(card, "VCAN_RecentFrames")(
      board, port, frames.data(), static_cast<int32_t>(frames.size()));
  if (count <= 0) return;
  std::printf("Last %d frames on %s:\n", count, name);
  for (int32_t i = 0; i < count; ++i) {
    uint64_t micros = 0;
    for (int b = 7; b >= 0; --b) micros = micros << 8 | frames[i].msg.stamp[b];
    std::printf("  (%llu.%06llu) %s %s  from %s\n",
                static_cast<unsigned long long>(micros / 1000000),
                static_cast<unsigned long long>(micros % 1000000), name,
                FrameText(frames[i].msg).c_str(), frames[i].sender);
  }
}

class FrameDumpOnFailure : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& test) override {
    if (!test.result()->Failed()) return;
    void* card = dlopen("libVELKCAN.so", RTLD_NOW | RTLD_NOLOAD);
    if (card == nullptr || dlsym(card, "VCAN_RecentFrames") == nullptr) return;
    std::set<std::string> dumped;
    for (int32_t board = 0; board < 8; ++board)
      for (int32_t port = 1; port <= 4; ++port) DumpSegment(card, board, port, dumped);
  }
};

const bool kRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FrameDumpOnFailure);
  return true;
}();

}  // namespace
}  // namespace dnm::test
