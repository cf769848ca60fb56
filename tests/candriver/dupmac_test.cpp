// The simulated owner of a MAC ID as a master's duplicate MAC ID check meets it.

#include <gtest/gtest.h>

#include "CardTestSupport.h"

namespace vcan_test {
namespace {

constexpr uint32_t CheckId(uint32_t mac) {
  return 0x407 + 8 * mac;
}

CANMsg CheckRequest(uint32_t mac) {
  return MakeFrame(CheckId(mac), {0x00, 0x34, 0x12, 0x01, 0x00, 0x00, 0x00});
}

TEST(DupMac, AnswersCheckRequestsForItsMacOnly) {
  ASSERT_NO_FATAL_FAILURE(
      StartOnline("dupmac segment=vcan0.1 mac=5 vendor=0x1234 serial=0x01020304\n"));

  const CANMsg other_mac = CheckRequest(6);
  ASSERT_EQ(CAN_SendMsg(0, 1, &other_mac), CAN_NoError);
  CANMsg response = CheckRequest(5);
  response.data[0] = 0x80;
  ASSERT_EQ(CAN_SendMsg(0, 1, &response), CAN_NoError);
  EXPECT_EQ(CAN_WaitRxMsg(0, 1, 200), 0) << "answered a frame that is no request for MAC 5";

  const CANMsg request = CheckRequest(5);
  ASSERT_EQ(CAN_SendMsg(0, 1, &request), CAN_NoError);
  auto answer = ReceiveAtPort(0, 1);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->id, CheckId(5));
  EXPECT_EQ(DataOf(*answer), (std::vector<uint8_t>{0x80, 0x34, 0x12, 0x04, 0x03, 0x02, 0x01}));
}

TEST(DupMac, SendsItsOwnCheckOnceAtTheGivenTimeAfterFirstTraffic) {
  ASSERT_NO_FATAL_FAILURE(
      StartCard("dupmac segment=vcan0.1 mac=7 answer=0 check=1 check_at=200\n"));
  const int32_t node = VCAN_AttachNode(0, 1, 500);
  const int32_t observer = VCAN_AttachNode(0, 1, 500);
  const CANMsg first = MakeFrame(0x3FF, {});
  ASSERT_EQ(VCAN_NodeSend(node, &first, 0), CAN_NoError);
  auto heard_first = ReceiveAtNode(observer);
  ASSERT_TRUE(heard_first);
  auto check = ReceiveAtNode(observer);
  ASSERT_TRUE(check);
  EXPECT_EQ(check->id, CheckId(7));
  EXPECT_EQ(check->data[0], 0x00) << "a request, not a response";
  const uint64_t delay_us = StampOf(*check) - StampOf(*heard_first);
  EXPECT_GE(delay_us, 200'000u);
  EXPECT_LT(delay_us, 900'000u);
  EXPECT_FALSE(ReceiveAtNode(observer, 400)) << "the check is sent only once";
}

}  // namespace
}  // namespace vcan_test
