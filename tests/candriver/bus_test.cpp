// Frames on a segment: who hears them, in which order, when, and what the receive FIFO does
// when frames come faster than they are taken.

#include <gtest/gtest.h>

#include <thread>

#include "CardTestSupport.h"

namespace vcan_test {
namespace {

constexpr const char* kThreePortsOnOneSegment =
    "boards 2\n"
    "segment net\n"
    "port 0/1 segment=net\n"
    "port 0/2 segment=net\n"
    "port 0/3 segment=net\n";

TEST(Bus, FrameReachesEveryOtherNodeButNotItsSender) {
  ASSERT_NO_FATAL_FAILURE(StartCard(kThreePortsOnOneSegment));
  for (int32_t port : {1, 2, 3, 4}) ASSERT_NO_FATAL_FAILURE(BringOnline(0, port));
  const int32_t board1 = VCAN_AttachNode(1, 1, 500);  // the same driver port of another board
  ASSERT_GT(board1, 0);
  const CANMsg sent = MakeFrame(0x123, {0xDE, 0xAD, 0xBE});
  const uint64_t before = MonotonicMicros();
  ASSERT_EQ(CAN_SendMsg(0, 1, &sent), CAN_NoError);
  for (int32_t port : {2, 3}) {
    auto got = ReceiveAtPort(0, port);
    ASSERT_TRUE(got) << "port " << port;
    EXPECT_EQ(got->id, 0x123u);
    EXPECT_EQ(DataOf(*got), (std::vector<uint8_t>{0xDE, 0xAD, 0xBE}));
    EXPECT_EQ(got->mode, 0);
    EXPECT_EQ(got->rtr, 0);
    for (int i = 3; i < 8; ++i) EXPECT_EQ(got->data[i], 0) << i;
    for (uint8_t byte : got->reserved) EXPECT_EQ(byte, 0);
    // Stamped with the end of the frame, which lies between sending and taking it.
    EXPECT_GE(StampOf(*got), before);
    EXPECT_LE(StampOf(*got), MonotonicMicros());
  }
  EXPECT_EQ(CAN_WaitRxMsg(0, 1, 100), 0);  // not the sender
  EXPECT_EQ(CAN_RxMsgCount(0, 4), 0);      // another segment
  EXPECT_FALSE(ReceiveAtNode(board1, 0));
  EXPECT_EQ(SegmentOf(1, 1), "vcan1.1");
}

TEST(Bus, NodeAtAnotherRateHearsNothingResetTakesThePortOffAndRecentFramesNameTheSender) {
  ASSERT_NO_FATAL_FAILURE(StartOnline(""));
  const int32_t at250 = VCAN_AttachNode(0, 1, 250);
  const int32_t at500 = VCAN_AttachNode(0, 1, 500);
  const CANMsg msg = MakeFrame(0x10, {1, 2});
  ASSERT_EQ(CAN_SendMsg(0, 1, &msg), CAN_NoError);
  ASSERT_TRUE(ReceiveAtNode(at500));
  EXPECT_FALSE(ReceiveAtNode(at250, 100));

  const CANConfig config = AcceptAllConfig(kSelector250k);
  ASSERT_EQ(CAN_Config(0, 1, &config), CAN_NoError);
  ASSERT_EQ(CAN_SendMsg(0, 1, &msg), CAN_NoError);
  ASSERT_TRUE(ReceiveAtNode(at250));
  EXPECT_FALSE(ReceiveAtNode(at500, 100));
  // Nor does the port hear the 500k node any more.
  ASSERT_EQ(VCAN_NodeSend(at500, &msg, 0), CAN_NoError);
  EXPECT_EQ(CAN_WaitRxMsg(0, 1, 100), 0);

  // Reset takes the port off the bus until init.
  ASSERT_EQ(VCAN_NodeSend(at250, &msg, 0), CAN_NoError);
  ASSERT_EQ(CAN_WaitRxMsg(0, 1, 3000), 1);

  ASSERT_EQ(CAN_Reset(0, 1), CAN_NoError);
  EXPECT_EQ(CAN_Status(0, 1), CAN_ResetError);
  EXPECT_EQ(CAN_RxMsgCount(0, 1), 0);  // the FIFO is cleared
  ASSERT_EQ(VCAN_NodeSend(at250, &msg, 0), CAN_NoError);
  EXPECT_EQ(CAN_WaitRxMsg(0, 1, 100), 0);
  EXPECT_EQ(CAN_SendMsg(0, 1, &msg), CAN_TransmitIncomplete);

  ASSERT_EQ(CAN_Init(0, 1), CAN_NoError);
  EXPECT_EQ(CAN_Status(0, 1), CAN_NoError);
  ASSERT_EQ(VCAN_NodeSend(at250, &msg, 0), CAN_NoError);
  EXPECT_EQ(CAN_WaitRxMsg(0, 1, 3000), 1);
  ASSERT_EQ(CAN_SendMsg(0, 1, &msg), CAN_NoError);
  EXPECT_TRUE(ReceiveAtNode(at250));

  // Recent frames name the sender, the rate and the length.
  ASSERT_NO_FATAL_FAILURE(BringOnline(0, 3, kSelector250k));
  const int32_t observer = VCAN_AttachNode(0, 3, 250);
  const CANMsg frame = MakeFrame(0x3C5, {9, 8});
  ASSERT_EQ(CAN_SendMsg(0, 3, &frame), CAN_NoError);
  ASSERT_TRUE(ReceiveAtNode(observer));
  VCAN_Frame frames[4];
  ASSERT_EQ(VCAN_RecentFrames(0, 3, frames, 4), 1);
  EXPECT_STREQ(frames[0].sender, "0/3");
  EXPECT_EQ(frames[0].msg.id, 0x3C5u);
  EXPECT_EQ(frames[0].baud, 250000u);
  EXPECT_EQ(frames[0].bits, 47u + 16 + (34 + 16 - 1) / 4);
  ASSERT_EQ(VCAN_ResetSegmentStats(0, 3), 0);
  EXPECT_EQ(VCAN_RecentFrames(0, 3, frames, 4), 0);
}

// Sends each identifier from a test node and returns those the port took in.
std::vector<uint32_t> AcceptedAtPort01(std::initializer_list<uint32_t> ids) {
  const int32_t node = VCAN_AttachNode(0, 1, 500);
  for (uint32_t id : ids) {
    const CANMsg msg = MakeFrame(id, {});
    EXPECT_EQ(VCAN_NodeSend(node, &msg, 1000), CAN_NoError);
  }
  std::vector<uint32_t> accepted;
  while (auto got = ReceiveAtPort(0, 1, 300)) accepted.push_back(got->id);
  VCAN_DetachNode(node);
  return accepted;
}

TEST(Bus, AcceptanceFilterComparesIdentifierBitsNotMasked) {
  ASSERT_NO_FATAL_FAILURE(StartOnline(""));
  // Identifiers 0x100 to 0x107: the three low bits are don't care.
  const CANConfig range{{0x100 >> 3, 0x00, 0, 0}, {0x00, 0xE0 | 0x1F, 0xFF, 0xFF}, 6, 0, 0x1C};
  ASSERT_EQ(CAN_Config(0, 1, &range), CAN_NoError);
  EXPECT_EQ(AcceptedAtPort01({0x0FF, 0x100, 0x105, 0x107, 0x108, 0x500}),
            (std::vector<uint32_t>{0x100, 0x105, 0x107}));
  EXPECT_EQ(PortStats(0, 1).filtered, 3u);

  // Exactly 0x123: every identifier bit compared (the unused low bits of byte 1 set).
  const CANConfig exact{{0x123 >> 3, (0x123 & 7) << 5, 0, 0}, {0x00, 0x1F, 0xFF, 0xFF}, 6, 0, 0x1C};
  ASSERT_EQ(CAN_Config(0, 1, &exact), CAN_NoError);
  EXPECT_EQ(AcceptedAtPort01({0x122, 0x123, 0x127, 0x523}), (std::vector<uint32_t>{0x123}));
}

TEST(Bus, OverrunIsReportedOnceKeepsTheFramesAlreadyReceivedAndCanBeCleared) {
  ASSERT_NO_FATAL_FAILURE(StartOnline("port 0/1 rxfifo=4\n"));
  const int32_t sender = VCAN_AttachNode(0, 1, 500);
  const int32_t observer = VCAN_AttachNode(0, 1, 500);
  const auto send = [&](uint32_t first, uint32_t last) {
    for (uint32_t id = first; id <= last; ++id) {
      const CANMsg msg = MakeFrame(id, {static_cast<uint8_t>(id)});
      ASSERT_EQ(VCAN_NodeSend(sender, &msg, 1000), CAN_NoError);
      ASSERT_TRUE(ReceiveAtNode(observer)) << id;
    }
  };
  ASSERT_NO_FATAL_FAILURE(send(1, 6));

  EXPECT_EQ(CAN_RxMsgCount(0, 1), 4);
  EXPECT_EQ(CAN_Status(0, 1), CAN_DataOverrun);
  CANMsg msg{};
  EXPECT_EQ(CAN_ReceiveMsg(0, 1, &msg), CAN_DataOverrun);
  EXPECT_EQ(CAN_RxMsgCount(0, 1), 4);  // the report takes no frame
  for (uint32_t id = 1; id <= 4; ++id) {
    ASSERT_EQ(CAN_ReceiveMsg(0, 1, &msg), CAN_NoError);
    EXPECT_EQ(msg.id, id);
  }
  EXPECT_EQ(CAN_ReceiveMsg(0, 1, &msg), CAN_ReceiveBufferEmpty);
  EXPECT_EQ(SegmentStats(0, 1).overrun_drops, 2u);

  // Clearing drops a pending report, not the frames.
  ASSERT_NO_FATAL_FAILURE(send(7, 11));
  ASSERT_EQ(CAN_ClearDataOverrun(0, 1), CAN_NoError);
  ASSERT_EQ(CAN_ReceiveMsg(0, 1, &msg), CAN_NoError);
  EXPECT_EQ(msg.id, 7u);
}

// The lowest identifier wins, each node keeps its own order until detached, and frames follow
// each other at the bit rate.
TEST(Bus, LowestIdentifierWinsEachNodeKeepsItsOrderAndFramesFollowAtTheBitRate) {
  ASSERT_NO_FATAL_FAILURE(StartCard(""));
  const int32_t a = VCAN_AttachNode(0, 1, 500);
  const int32_t b = VCAN_AttachNode(0, 1, 500);
  const int32_t c = VCAN_AttachNode(0, 1, 500);
  const int32_t observer = VCAN_AttachNode(0, 1, 500);
  ASSERT_EQ(VCAN_HoldSegment(0, 1, 1), 0);
  const auto send = [](int32_t node, uint32_t id) {
    const CANMsg msg = MakeFrame(id, {});
    ASSERT_EQ(VCAN_NodeSend(node, &msg, 0), CAN_NoError);
  };
  send(a, 0x500);
  send(a, 0x100);  // waits behind a's 0x500 however low it is
  send(b, 0x300);
  send(c, 0x200);
  ASSERT_EQ(VCAN_HoldSegment(0, 1, 0), 0);
  std::vector<uint32_t> order;
  for (int i = 0; i < 4; ++i) {
    auto got = ReceiveAtNode(observer);
    ASSERT_TRUE(got) << i;
    order.push_back(got->id);
  }
  EXPECT_EQ(order, (std::vector<uint32_t>{0x200, 0x300, 0x500, 0x100}));

  // A detached node no longer sends.
  ASSERT_EQ(VCAN_DetachNode(a), 0);
  const CANMsg msg = MakeFrame(0x1, {});
  EXPECT_EQ(VCAN_NodeSend(a, &msg, 0), -1);
  EXPECT_EQ(VCAN_DetachNode(a), -1);
  EXPECT_EQ(SegmentStats(0, 1).nodes, 4u);  // the port and the remaining test nodes

  // 8 data bytes: 47 + 64 bits plus 24 stuff bits (worst case) = 135 bits, 1080 us at 125k.
  constexpr int kFrames = 1000;
  constexpr uint64_t kFrameMicros = 1080;
  const int32_t sender = VCAN_AttachNode(0, 2, 125);
  const int32_t watcher = VCAN_AttachNode(0, 2, 125);
  std::thread feeder([sender] {
    for (int i = 0; i < kFrames; ++i) {
      const CANMsg msg = MakeFrame(0x100, {1, 2, 3, 4, 5, 6, 7, static_cast<uint8_t>(i)});
      ASSERT_EQ(VCAN_NodeSend(sender, &msg, 10000), CAN_NoError);
    }
  });
  std::vector<uint64_t> stamps;
  for (int i = 0; i < kFrames; ++i) {
    auto got = ReceiveAtNode(watcher, 10000);
    ASSERT_TRUE(got) << i;
    stamps.push_back(StampOf(*got));
  }
  feeder.join();
  // Queued frames follow each other on the virtual timeline, so scheduling delays of the bus
  // thread must not add up: nearly every gap is exactly one frame time.
  int exact_gaps = 0;
  for (size_t i = 1; i < stamps.size(); ++i) {
    const uint64_t gap = stamps[i] - stamps[i - 1];
    ASSERT_GE(gap, kFrameMicros - 1) << "frames overlap at " << i;
    if (gap <= kFrameMicros + 1) exact_gaps++;
  }
  EXPECT_GT(exact_gaps, kFrames * 9 / 10);
  const VCAN_SegmentStats stats = SegmentStats(0, 2);
  EXPECT_EQ(stats.frames, uint64_t{kFrames});
  EXPECT_EQ(stats.bits, 135u * kFrames);
  EXPECT_NEAR(static_cast<double>(stats.busy_us), double{kFrames} * kFrameMicros, kFrames);
}

}  // namespace
}  // namespace vcan_test
