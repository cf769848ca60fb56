// The driver entries as the master calls them: numbering, argument errors, board lifecycle and
// the codes of the send and configure paths.

#include <gtest/gtest.h>

#include "CardTestSupport.h"

namespace vcan_test {
namespace {

TEST(DriverEntries, ArgumentErrorsInOrderClosingTakesPortsOffTheBusAndConfigChecks) {
  ASSERT_NO_FATAL_FAILURE(StartCard(""));
  EXPECT_EQ(CAN_Reset(1, 9), CAN_BoardNumberError);
  EXPECT_EQ(CAN_Reset(-1, 1), CAN_BoardNumberError);
  EXPECT_EQ(CAN_Reset(0, 0), CAN_PortNumberError);
  EXPECT_EQ(CAN_Reset(0, 5), CAN_PortNumberError);
  EXPECT_EQ(CAN_Reset(0, 1), CAN_ActiveBoardError);
  EXPECT_EQ(CAN_ActiveBoard(1), CAN_BoardNumberError);
  EXPECT_EQ(CAN_CloseBoard(1), CAN_BoardNumberError);
  EXPECT_EQ(CAN_BoardIsActive(0), CAN_ActiveBoardError);
  // Counts must not pass an argument error off as frames waiting.
  EXPECT_LT(CAN_RxMsgCount(0, 1), 0);
  EXPECT_LT(CAN_RxMsgCount(3, 1), 0);
  EXPECT_LT(CAN_WaitRxMsg(0, 9, 0), 0);
  EXPECT_EQ(CAN_GetBoardInf(1, 0, 0, 0, 0, 0, 0), -1);
  EXPECT_EQ(CAN_GetBoardInf(0, 3, 0, 0, 0, 0, 0), -1);
  EXPECT_EQ(CAN_GetSystemFreq(-1), 0u);

  ASSERT_EQ(CAN_ActiveBoard(0), CAN_NoError);
  EXPECT_EQ(CAN_ActiveBoard(0), CAN_NoError);
  EXPECT_EQ(CAN_BoardIsActive(0), CAN_NoError);
  EXPECT_EQ(CAN_RxMsgCount(0, 1), 0);
  EXPECT_EQ(CAN_Reset(0, 4), CAN_NoError);

  // Closing takes the board's ports off the bus.
  ASSERT_NO_FATAL_FAILURE(BringOnline(0, 2));
  ASSERT_EQ(CAN_CloseBoard(0), CAN_NoError);
  const CANMsg msg = MakeFrame(0x10, {});
  EXPECT_EQ(CAN_SendMsg(0, 2, &msg), CAN_ActiveBoardError);
  ASSERT_EQ(CAN_ActiveBoard(0), CAN_NoError);
  EXPECT_EQ(CAN_SendMsg(0, 2, &msg), CAN_TransmitIncomplete);  // off the bus until init
  EXPECT_EQ(CAN_Status(0, 2), CAN_ResetError);
  EXPECT_EQ(PortStats(0, 2).on_bus, 0);

  // Configuring checks the record and the selector, and keeps the rate on an error.
  EXPECT_EQ(PortStats(0, 1).baud, 500000u) << "rate before any configuration";
  ASSERT_NO_FATAL_FAILURE(BringOnline(0, 1, kSelector250k));
  EXPECT_EQ(CAN_Config(0, 1, nullptr), CAN_ConfigError);
  for (uint8_t selector : {0, 3, 7, 255}) {
    const CANConfig config = AcceptAllConfig(selector);
    EXPECT_EQ(CAN_Config(0, 1, &config), CAN_SetBaudRateError) << int{selector};
  }
  EXPECT_EQ(PortStats(0, 1).baud, 250000u);
  const CANConfig config = AcceptAllConfig(kSelector125k);
  ASSERT_EQ(CAN_Config(0, 1, &config), CAN_NoError);
  EXPECT_EQ(PortStats(0, 1).baud, 125000u);
}

TEST(DriverEntries, SendRefusesRecordsThatAreNotStandardFramesAndAFullQueue) {
  ASSERT_NO_FATAL_FAILURE(StartOnline(""));
  ASSERT_EQ(VCAN_HoldSegment(0, 1, 1), 0);  // every frame sent stays queued
  EXPECT_EQ(CAN_SendMsg(0, 1, nullptr), CAN_DriverError);
  CANMsg msg = MakeFrame(0x7FF, {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(CAN_SendMsg(0, 1, &msg), CAN_NoError);
  msg.len = 9;
  EXPECT_EQ(CAN_SendMsg(0, 1, &msg), CAN_DriverError);
  msg.len = 0;
  msg.id = 0x800;
  EXPECT_EQ(CAN_SendMsg(0, 1, &msg), CAN_DriverError);
  EXPECT_EQ(CAN_ReceiveMsg(0, 1, nullptr), CAN_DriverError);

  msg.id = 0x300;
  for (int i = 1; i < 64; ++i) ASSERT_EQ(CAN_SendMsg(0, 1, &msg), CAN_NoError) << i;
  EXPECT_EQ(CAN_SendMsg(0, 1, &msg), CAN_TransmitBufferLocked) << "64 frames queued at most";
  // Reset drops what was queued, so after init the queue has room again.
  ASSERT_EQ(CAN_Reset(0, 1), CAN_NoError);
  ASSERT_EQ(CAN_Init(0, 1), CAN_NoError);
  EXPECT_EQ(CAN_SendMsg(0, 1, &msg), CAN_NoError);
}

}  // namespace
}  // namespace vcan_test
