// The master against the simulated slave devices of the virtual card: what
// a user sees without hardware.
#include <gtest/gtest.h>

#include "MasterLib.h"
#include "VirtualCard.h"
#include "vcan_test.h"

namespace dnm::test {
namespace {

using std::chrono::milliseconds;

class SimulatedSlaves : public ::testing::Test {
 protected:
  void SetUp() override {
    UseNetwork(
        "slave segment=vcan0.1 mac=3 product=\"Virtual IO Block\" serial=30003\n"
        "slave segment=vcan0.1 mac=12 product=\"Virtual Drive\" ucmm=1\n");
    lib_ = std::make_unique<MasterLib>();  // the card reads its network at load
    ASSERT_EQ(lib_->DNM_ActiveBoard(0), 0);
    ASSERT_EQ(lib_->DNM_Online(0, 0, 0, 0), 0);
  }

  void Connect(uint8_t mac, uint8_t ucmm) {
    ASSERT_EQ(lib_->DNM_AddDevice(0, 0, mac, ucmm), 0);
    ASSERT_EQ(lib_->DNM_ConfigExplicitMsg(0, 0, mac, 3), 0);
    ASSERT_EQ(lib_->DNM_StartDevice(0, 0, mac), 0);
    for (int i = 0; i < 150 && lib_->DNM_CheckExplicitMsgConnectionStatus(0, 0, mac) != 0; ++i) {
      std::this_thread::sleep_for(milliseconds(20));
    }
    ASSERT_EQ(lib_->DNM_CheckExplicitMsgConnectionStatus(0, 0, mac), 0);
  }

  VCAN_SlaveState State(uint8_t mac) const { return VirtualCard(*lib_).SlaveState(0, 0, mac); }

  std::unique_ptr<MasterLib> lib_;
};

TEST_F(SimulatedSlaves, IdentityIsReadOverBothKindsOfConnection) {
  Connect(3, 0);
  Connect(12, 1);
  uint8_t value[64] = {};
  uint32_t length = 0;
  ASSERT_EQ(lib_->DNM_GetAttribute(0, 0, 3, 1, 1, 7, value, &length), 0);  // fragmented
  EXPECT_EQ(std::string(reinterpret_cast<char*>(value), length), "\x10Virtual IO Block");
  ASSERT_EQ(lib_->DNM_GetAttribute(0, 0, 3, 1, 1, 6, value, &length), 0);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(value[0] | value[1] << 8 | value[2] << 16 | value[3] << 24, 30003);
  ASSERT_EQ(lib_->DNM_GetAttribute(0, 0, 12, 1, 1, 7, value, &length), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(value), length), "\x0DVirtual Drive");
  EXPECT_EQ(State(12).ucmm_count, 1);
  EXPECT_EQ(State(12).explicit_allocated, 0);
  // The watchdog action was set on the group-2 slave only.
  EXPECT_EQ(State(3).requests[VCAN_SLAVE_SET], 1u);
  EXPECT_EQ(State(12).requests[VCAN_SLAVE_SET], 0u);
}

TEST_F(SimulatedSlaves, ValuesWrittenInFragmentsReadBackTheSame) {
  Connect(3, 0);
  Connect(12, 1);
  for (uint8_t mac : {3, 12}) {
    std::vector<uint8_t> written(40);
    for (size_t i = 0; i < written.size(); ++i) written[i] = static_cast<uint8_t>(mac + i);
    ASSERT_EQ(lib_->DNM_SetAttribute(0, 0, mac, 0x64, 1, 2, written.data(), 40), 0) << int{mac};
    uint8_t value[64] = {};
    uint32_t length = 0;
    ASSERT_EQ(lib_->DNM_GetAttribute(0, 0, mac, 0x64, 1, 2, value, &length), 0);
    EXPECT_EQ(std::vector<uint8_t>(value, value + length), written);
  }
  uint8_t value[64];
  uint32_t length = 0;
  EXPECT_EQ(lib_->DNM_GetAttribute(0, 0, 3, 0x42, 1, 1, value, &length),
            DNM_GetAttributeResponseError);
}

TEST_F(SimulatedSlaves, UcmmRouteIsAddedOncePerDevice) {
  Connect(12, 1);
  ASSERT_EQ(lib_->DNM_StopDevice(0, 0, 12), 0);
  std::this_thread::sleep_for(milliseconds(300));
  ASSERT_EQ(lib_->DNM_StartDevice(0, 0, 12), 0);
  for (int i = 0; i < 150 && lib_->DNM_CheckExplicitMsgConnectionStatus(0, 0, 12) != 0; ++i) {
    std::this_thread::sleep_for(milliseconds(20));
  }
  EXPECT_GE(State(12).requests[VCAN_SLAVE_OPEN], 2u);
  // The answers on the device's group 3 identifier find one route, not one
  // per opening.
  lib_->ClearTrace();
  uint8_t value[64];
  uint32_t length = 0;
  ASSERT_EQ(lib_->DNM_GetAttribute(0, 0, 12, 1, 1, 1, value, &length), 0);
  EXPECT_FALSE(lib_->LinesWith("Count is 1").empty());
  EXPECT_TRUE(lib_->LinesWith("Count is 2").empty());
  // A second UCMM device gets its own route too.
  ASSERT_EQ(lib_->DNM_RemoveDevice(0, 0, 12), 0);
  Connect(12, 1);
  EXPECT_EQ(lib_->DNM_GetAttribute(0, 0, 12, 1, 1, 1, value, &length), 0);
}

}  // namespace
}  // namespace dnm::test
