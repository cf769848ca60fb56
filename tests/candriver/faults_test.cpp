// Injected driver failures, from the test interface and from the network description.

#include <gtest/gtest.h>

#include "CardTestSupport.h"

namespace vcan_test {
namespace {

class FaultsTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartOnline("")); }
  int32_t Send() {
    const CANMsg msg = MakeFrame(0x100, {});
    return CAN_SendMsg(0, 1, &msg);
  }
};

TEST_F(FaultsTest, CountedAndLastingFaultsHitOnlyTheirEntryBeforeArgumentChecks) {
  EXPECT_EQ(VCAN_FailEntry("CAN_Nothing", 1, 1), -1);
  EXPECT_EQ(VCAN_FailEntry("CAN_SendMsg", 1, 0), -1);
  EXPECT_EQ(VCAN_FailEntry("CAN_SendMsg", 1, -5), -1);
  EXPECT_EQ(VCAN_FailEntry(nullptr, 1, 1), -1);
  EXPECT_EQ(VCAN_ClearFault("CAN_Nothing"), -1);
  EXPECT_EQ(Send(), CAN_NoError);

  ASSERT_EQ(VCAN_FailEntry("CAN_SendMsg", CAN_TransmitIncomplete, 2), 0);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Send(), CAN_TransmitIncomplete);
  EXPECT_EQ(Send(), CAN_NoError);
  ASSERT_EQ(VCAN_FailEntry("CAN_SendMsg", CAN_TransmitBufferLocked, VCAN_EVERY_CALL), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Send(), CAN_TransmitBufferLocked);
  ASSERT_EQ(VCAN_ClearFault("CAN_SendMsg"), 0);
  EXPECT_EQ(Send(), CAN_NoError);

  ASSERT_EQ(VCAN_FailEntry("CAN_Reset", CAN_ResetError, VCAN_EVERY_CALL), 0);
  EXPECT_EQ(CAN_Reset(7, 9), CAN_ResetError);
  EXPECT_EQ(CAN_Init(0, 1), CAN_NoError);
  EXPECT_EQ(Send(), CAN_NoError);
  ASSERT_EQ(VCAN_ClearFault(nullptr), 0);
  EXPECT_EQ(CAN_Reset(0, 1), CAN_NoError);
}

TEST(FaultsFromFile, FaultLinesArmEntriesAtStart) {
  ASSERT_NO_FATAL_FAILURE(
      StartCard("fault entry=CAN_ActiveBoard code=5\n"
                "fault entry=CAN_TotalBoard code=0x0 times=every\n"
                "fault entry=CAN_GetSystemFreq code=3 times=2\n"));
  EXPECT_EQ(CAN_ActiveBoard(0), 5);
  EXPECT_EQ(CAN_ActiveBoard(0), CAN_NoError);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(CAN_TotalBoard(), 0);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(CAN_GetSystemFreq(0), 3u);
  EXPECT_EQ(CAN_GetSystemFreq(0), 16000000u);
}

}  // namespace
}  // namespace vcan_test
