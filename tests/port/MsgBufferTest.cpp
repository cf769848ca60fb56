#include <gtest/gtest.h>

#include "VirtualCard.h"
#include "port/MsgBuffer.h"

namespace dnm {
namespace {

const auto Frame = test::MakeFrame;

TEST(MsgBuffer, TakingFromTheMiddleKeepsTheOrderAndFramesMatchOnDataBytesAndLength) {
  MsgBuffer buffer;
  CANMsg stamped = Frame(0x3C1, {1, 2, 3, 4, 5, 6, 7, 8});
  stamped.stamp[0] = 0xAA;
  buffer.PutMsg(stamped);
  buffer.PutMsg(Frame(0x3C1, {2}));
  buffer.PutMsg(Frame(0x3C2, {3}));
  buffer.PutMsg(Frame(0x3C1, {4}));
  CANMsg out{};
  out.stamp[0] = 0x55;
  ASSERT_EQ(buffer.GetMsg(out, 0x3C2), 0);
  EXPECT_EQ(out.data[0], 3);
  ASSERT_EQ(buffer.GetMsg(out, 0x3C1), 0);
  EXPECT_EQ(out.len, 8);
  EXPECT_EQ(out.data[7], 8);
  EXPECT_EQ(out.stamp[0], 0x55);  // the stamp is not kept
  for (uint8_t expected : {2, 4}) {
    ASSERT_EQ(buffer.GetMsg(out, 0x3C1), 0);
    EXPECT_EQ(out.data[0], expected);
  }

  // Frames match on their leading data bytes and length.
  buffer.PutMsg(Frame(0x403, {0x05, 0x8E, 0x01}));
  buffer.PutMsg(Frame(0x403, {0x05, 0x94, 0x02}));
  buffer.PutMsg(Frame(0x403, {0x85, 0x41, 0x03, 0x04}));
  EXPECT_EQ(buffer.GetMsg(out, FrameKey::Data(0x403, 0x06)), MsgBuffer::kNoMatch);
  ASSERT_EQ(buffer.GetMsg(out, FrameKey::Data(0x403, 0x05, 0x94)), 0);
  EXPECT_EQ(out.data[2], 0x02);
  EXPECT_EQ(buffer.GetMsg(out, FrameKey::Data(0x403, 0x85, 0x41, 0x04)), MsgBuffer::kNoMatch);
  ASSERT_EQ(buffer.GetMsgByLen(out, 0x403, 4), 0);
  EXPECT_EQ(out.data[0], 0x85);
  EXPECT_EQ(buffer.GetDataCount(), 1);  // the skipped frame stays
  // Bytes past a frame's length are not part of it, whatever the driver left there.
  buffer.ClearBuffer();
  CANMsg short_frame = Frame(0x7EE, {});
  short_frame.data[0] = 0xCB;
  buffer.PutMsg(short_frame);
  EXPECT_EQ(buffer.GetMsg(out, FrameKey::Data(0x7EE, 0xCB)), MsgBuffer::kNoMatch);
  ASSERT_EQ(buffer.GetMsg(out, 0x7EE), 0);
  EXPECT_EQ(out.data[0], 0);
}

TEST(MsgBuffer, PurgeFragmentsRemovesEveryFlaggedFrameWhereverItStandsAndFullRefuses) {
  MsgBuffer buffer;
  // Wrap the ring first, so the purge has to step the tail back over zero.
  for (int i = 0; i < 62; ++i) buffer.PutMsg(Frame(0x1, {0}));
  CANMsg out{};
  for (int i = 0; i < 62; ++i) buffer.GetMsg(out, 0x1);
  buffer.PutMsg(Frame(0x403, {0x85, 0x41}));
  buffer.PutMsg(Frame(0x403, {0x05, 0x90}));
  buffer.PutMsg(Frame(0x403, {0x85, 0x82}));
  buffer.PutMsg(Frame(0x403, {0x05, 0x91}));
  buffer.PutMsg(Frame(0x403, {0x85, 0x83}));
  buffer.PutMsg(Frame(0x403, {0x85, 0x84}));
  EXPECT_EQ(buffer.PurgeFragments(), 0);
  EXPECT_EQ(buffer.GetDataCount(), 2);
  for (uint8_t expected : {0x90, 0x91}) {
    ASSERT_EQ(buffer.GetMsg(out, 0x403), 0);
    EXPECT_EQ(out.data[1], expected);
  }
  // The ring goes on from where the purge left it; once full it refuses the next frame and
  // keeps the others. The frame stored next tells of the loss, the one after it not.
  for (uint8_t i = 0; i < 64; ++i) ASSERT_EQ(buffer.PutMsg(Frame(0x1, {i})), 0);
  EXPECT_EQ(buffer.PutMsg(Frame(0x7FF, {0xEE})), MsgBuffer::kFull);
  EXPECT_EQ(buffer.GetMsg(out, 0x7FF), MsgBuffer::kNoMatch);
  for (uint8_t i = 0; i < 64; ++i) {
    ASSERT_EQ(buffer.GetMsg(out, 0x1), 0);
    EXPECT_EQ(out.data[0], i);
  }
  EXPECT_EQ(buffer.GetDataCount(), 0);
  bool after_loss = false;
  for (bool lost : {true, false}) {
    buffer.PutMsg(Frame(0x2, {}));
    EXPECT_TRUE(buffer.GetMsg(out, FrameKey::Id(0x2), after_loss) == 0 && after_loss == lost);
  }
}

}  // namespace
}  // namespace dnm
