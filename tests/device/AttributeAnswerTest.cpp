// Reading a get's answer: the value bytes come only from the data bytes a frame has, whatever
// length the driver reports, in a plain answer and in fragments alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "MasterLib.h"
#include "VELKCANDNM.h"
#include "api/Board.h"
#include "api/Library.h"
#include "device/AttributeAccess.h"
#include "device/Device_Info.h"
#include "device/ExplicitExchange.h"
#include "device/ExplicitReassembly.h"
#include "port/CANPort.h"
#include "port/MsgBuffer.h"
#include "vcan_test.h"

namespace dnm {
namespace {

constexpr uint8_t kMaster = 0;
constexpr uint8_t kDevice = 5;

CANMsg Answer(uint8_t len, std::initializer_list<uint8_t> data) {
  CANMsg msg{};
  msg.id = Group2Id(kDevice, 3);
  msg.len = len;
  std::copy(data.begin(), data.end(), msg.data);
  return msg;
}

// A frame with the driver's receive stamp, milliseconds after the monotonic time start_us.
CANMsg ReceivedAt(uint64_t start_us, uint32_t after_ms, uint8_t service) {
  CANMsg msg = Answer(2, {kMaster, service});
  uint64_t stamp = start_us + after_ms * 1000u;
  for (uint8_t& byte : msg.stamp) {
    byte = static_cast<uint8_t>(stamp);
    stamp >>= 8;
  }
  return msg;
}

// A waiting thread that wakes after its deadline (a stalled or paused process) still takes an
// answer received before it, and only such an answer.
TEST(AttributeAnswer, AWaitThatWakesLateTakesWhatWasReceivedInTimeOnly) {
  using std::chrono::microseconds;
  MsgBuffer buffer;
  const auto start_us = static_cast<uint64_t>(
      std::chrono::duration_cast<microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
  ResponseWait waiting(buffer, 100, 100, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the stall
  buffer.PutMsg(ReceivedAt(start_us, 50, 0x8E));
  buffer.PutMsg(ReceivedAt(start_us, 250, 0x90));
  ASSERT_TRUE(waiting.NextPass()) << "an answer received at 50 ms of 100 declared missing";
  CANMsg taken{};
  EXPECT_EQ(buffer.GetMsg(taken, FrameKey::Data(Group2Id(kDevice, 3), kMaster, 0x90)), -1)
      << "received after the deadline";
  EXPECT_EQ(buffer.GetMsg(taken, FrameKey::Data(Group2Id(kDevice, 3), kMaster, 0x8E)), 0);
  EXPECT_FALSE(waiting.NextPass());
}

// A fragment or a plain answer with a length above eight carries six value bytes.
TEST(AttributeAnswer, AFragmentOrAPlainAnswerWithALengthAboveEightCarriesSixValueBytes) {
  uint8_t area[64] = {};
  ExplicitReassembly reassembly(area, sizeof area);
  using Step = ExplicitReassembly::Step;
  EXPECT_EQ(reassembly.Take(Answer(8, {0x80, 0x00, 0x8E, 1, 2, 3, 4, 5})).step, Step::kMore);
  EXPECT_EQ(reassembly.Take(Answer(15, {0x80, 0x41, 6, 7, 8, 9, 10, 11})).step, Step::kMore);
  EXPECT_EQ(reassembly.Take(Answer(3, {0x80, 0x82, 12})).step, Step::kComplete);
  ASSERT_EQ(reassembly.length(), 12u);
  for (uint8_t i = 0; i < 12; ++i) EXPECT_EQ(area[i], i + 1);

  test::UseNetwork("boards 1\n");
  DeviceNet_Initial();
  ASSERT_EQ(DNM_ActiveBoard(0), 0);
  ASSERT_EQ(DNM_Online(0, 0, 0, kMaster), 0);
  const int32_t node = VCAN_AttachNode(0, 1, 500);
  ASSERT_GT(node, 0);
  Device_Info device(0, 0, kDevice);
  MsgBuffer& answers = device.MakeBuffer(kExplicit);
  // The answer goes straight into the buffer: no card passes on such a length.
  std::thread slave([&] {
    CANMsg request{};
    while (VCAN_NodeReceive(node, &request, 3000) == 0 && request.id != Group2Id(kDevice, 4)) {
    }
    answers.PutMsg(Answer(15, {kMaster, 0x8E, 1, 2, 3, 4, 5, 6}));
  });
  uint8_t value[64] = {};
  uint32_t length = 0;
  CANPort& port = Lib().boards[0]->port(0);
  EXPECT_EQ(GetAttribute(port, device, 1, 1, 7, value, sizeof value, length), DNM_NoError);
  slave.join();
  ASSERT_EQ(length, 6u);
  for (uint8_t i = 0; i < 6; ++i) EXPECT_EQ(value[i], i + 1);
}

}  // namespace
}  // namespace dnm
