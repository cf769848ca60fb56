// The wait for an answer among frames that answer nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "CoreTrace.h"
#include "api/Library.h"
#include "device/ExplicitExchange.h"
#include "port/MsgBuffer.h"

namespace dnm {
namespace {

// Frames that answer nothing keep coming until the time is out: each traced
// line belongs to a pass that waited, and the frames seen go before the
// next pass instead of filling the buffer.
TEST(ResponseWait, StrayFramesNeitherPileUpNorAddALineAfterTheTimeIsOut) {
  DeviceNet_Initial();
  HyperTraceTest_Clear();
  MsgBuffer buffer;
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    while (feeding) {
      buffer.PutMsg(RequestFrame(0x42B, {0xFF}));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  ResponseWait waiting(buffer, 1000, 300, nullptr);
  int passes = 0;
  uint8_t most_held = 0;
  while (waiting.NextPass("Start wait")) {
    ++passes;
    most_held = std::max(most_held, buffer.GetDataCount());
  }
  feeding = false;
  feeder.join();
  const auto lines = test::KeptTraceLines();
  EXPECT_GT(passes, 5);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Start wait"), passes);
  EXPECT_LT(most_held, 20);
}

}  // namespace
}  // namespace dnm
