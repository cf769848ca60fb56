// Faulted nodes through the offline connection set: counted, listed into
// the caller's arrays, given a new MAC ID and connected like any slave.
#include <gtest/gtest.h>

#include <algorithm>

#include "MasterLib.h"
#include "Responder.h"
#include "VirtualCard.h"

namespace dnm::test {
namespace {

// The card reads its network when the library loads it.
struct TwoFaultedNodesAndOneSlave {
  TwoFaultedNodesAndOneSlave() {
    UseNetwork(
        "slave segment=vcan0.1 mac=20 faulted=1 vendor=0x1111 serial=0x01020304\n"
        "slave segment=vcan0.1 mac=21 faulted=1 vendor=0x2222 serial=0x0A0B0C0D\n"
        "slave segment=vcan0.1 mac=3\n");
  }
};

class FaultedNodes : TwoFaultedNodesAndOneSlave, public OnlineMaster {
 protected:
  void SetUp() override {
    OnlineMaster::SetUp();
    ASSERT_EQ(lib_.DNM_GetOwnership(0, 0), 0);
  }
};

TEST_F(FaultedNodes, AreCountedAndListedWithinTheCallersRoom) {
  // A second request for ownership adds no second route: each answer counts once.
  ASSERT_EQ(lib_.DNM_GetOwnership(0, 0), 0);
  // An answer too short for a vendor ID and serial number counts for nothing, a node's answer
  // sent again counts once.
  const Responder hostile(*card_, 0, 0, [](const CANMsg& m) {
    if (m.id != 0x7ED) return std::vector<CANMsg>{};
    return std::vector{MakeFrame(0x7EC, {0x3F, 1, 2, 3, 4, 5}),
                       MakeFrame(0x7EC, {0x3F, 0x11, 0x11, 4, 3, 2, 1})};
  });
  // Faulted nodes do not answer a scan, and the scan leaves the offline
  // set's routes in place.
  uint8_t macs[64] = {};
  uint8_t answered = 0;
  ASSERT_EQ(lib_.DNM_GetAllDeviceMACID(0, 0, macs, &answered), 0);
  EXPECT_EQ(std::vector<uint8_t>(macs, macs + answered), std::vector<uint8_t>{3});
  EXPECT_EQ(lib_.DNM_CheckFaultNode(0, 0), 2);

  uint16_t vendors[100] = {9, 9, 9, 9};
  uint32_t serials[100] = {9, 9, 9, 9};
  uint8_t count = 0;
  ASSERT_EQ(lib_.DNM_GetAllFaultNodeEx(0, 0, vendors, serials, 4, &count), 0);
  EXPECT_EQ(count, 2);
  std::vector<std::pair<uint16_t, uint32_t>> listed = {{vendors[0], serials[0]},
                                                       {vendors[1], serials[1]}};
  std::sort(listed.begin(), listed.end());
  const std::vector<std::pair<uint16_t, uint32_t>> expected = {{0x1111, 0x01020304},
                                                               {0x2222, 0x0A0B0C0D}};
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(vendors[2] + vendors[3] + serials[2] + serials[3], 0u);  // past the answers: zeroed

  // Room for one: one entry written, nothing past it.
  std::fill(vendors, vendors + 4, 9);
  ASSERT_EQ(lib_.DNM_GetAllFaultNodeEx(0, 0, vendors, serials, 1, &count), 0);
  EXPECT_EQ(count, 1);
  EXPECT_NE(vendors[0], 9);
  EXPECT_EQ(vendors[1], 9);
  // The plain call writes answered entries only, whatever its fifth argument.
  for (const uint32_t unused : {100u, 0u}) {
    std::fill(std::begin(vendors), std::end(vendors), 9);
    std::fill(std::begin(serials), std::end(serials), 9);
    ASSERT_EQ(lib_.DNM_GetAllFaultNode(0, 0, vendors, serials, unused), 0);
    EXPECT_NE(vendors[1], 9);
    EXPECT_EQ(std::count(vendors + 2, std::end(vendors), 9), 98);  // untouched past the answers
    EXPECT_EQ(std::count(serials + 2, std::end(serials), 9), 98);
  }
  EXPECT_EQ(lib_.DNM_GetAllFaultNode(0, 0, nullptr, serials, 0), DNM_NullPointerError);
  EXPECT_EQ(lib_.DNM_ChangeFaultMACID(0, 0, 0x1111, 0x01020304, 64), DNM_MACIDNumberError);
  EXPECT_TRUE(lib_.HasLine("ChangeFaultMACID()   Error!MAC ID 64 is out of range"));
}

// A request that cannot be sent is told apart from a count, and every call
// passes the driver's code on.
TEST_F(FaultedNodes, ASendFailureIsNeverACount) {
  uint16_t vendors[2] = {};
  uint32_t serials[2] = {};
  card_->Fail("CAN_SendMsg", 16, -1);          // a queue that stays full
  EXPECT_EQ(lib_.DNM_GetOwnership(0, 0), 16);  // neither request sent; ownership kept
  EXPECT_EQ(lib_.DNM_CheckFaultNode(0, 0), DNM_FaultNodeSendError);
  EXPECT_TRUE(lib_.HasLine("CheckFaultNode( ) Board 0  Port 0  SendCmd Error!"));
  EXPECT_EQ(lib_.DNM_GetAllFaultNode(0, 0, vendors, serials, 2), 16);
  EXPECT_EQ(lib_.DNM_ChangeFaultMACID(0, 0, 0x1111, 0x01020304, 30), 16);
  card_->Fail("CAN_SendMsg", 0, 0);
  EXPECT_EQ(lib_.DNM_CheckFaultNode(0, 0), 2);
  // Nor does a flood of answers reach the codes: at most the 64 nodes a network has count.
  const Responder flood(*card_, 0, 0, [](const CANMsg& m) {
    std::vector<CANMsg> answers;
    for (uint8_t i = 0; m.id == 0x7ED && i < 100; ++i)
      answers.push_back(MakeFrame(0x7EC, {0x3F, 0x33, 0x33, i, 0, 0, 0}));
    return answers;
  });
  EXPECT_EQ(lib_.DNM_CheckFaultNode(0, 0), 64);
}

}  // namespace
}  // namespace dnm::test
