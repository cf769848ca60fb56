// The scan list through the exports, with the port's routing table and
// device records inspected directly.
#include <gtest/gtest.h>

#include <thread>

#include "CoreTrace.h"
#include "VELKCANDNM.h"
#include "VirtualCard.h"
#include "api/Board.h"
#include "api/Library.h"
#include "device/Device_Info.h"
#include "platform/Platform.h"
#include "port/CANPort.h"
#include "port/MapTable.h"
#include "vcan_test.h"

namespace dnm {
namespace {

constexpr uint8_t kMaster = 62;

using test::UseNetwork;
const auto HasLine = test::KeptTraceHas;

class ScanList : public ::testing::Test {
 protected:
  void Start(const std::string& network = "") {
    UseNetwork(network);
    DeviceNet_Initial();
    ASSERT_EQ(DNM_ActiveBoard(0), 0);
    ASSERT_EQ(DNM_Online(0, 0, 0, kMaster), 0);
    port_ = &Lib().boards[0]->port(0);
    HyperTraceTest_Clear();
  }
  CANPort* port_ = nullptr;
};

// Adding checks the MAC ID against the list and the master; routes come and go with the device.
TEST_F(ScanList, AddingChecksTheMacIdRoutesComeAndGoAndAListingFindsNone) {
  Start();
  EXPECT_EQ(DNM_AddDevice(0, 0, 5, 0), 0);
  EXPECT_EQ(DNM_AddDevice(0, 0, 5, 0), DNM_DeviceAlreadyInScanList);
  EXPECT_TRUE(HasLine("AddDevice()   Error!MAC ID 5 is in the ScanList"));
  EXPECT_EQ(DNM_AddDevice(0, 0, kMaster, 0), DNM_MACIDNumberError);
  EXPECT_TRUE(HasLine("AddDevice()   Error!MAC ID 62 is the same with Master MAC ID"));
  EXPECT_EQ(DNM_AddDevice(0, 0, 64, 0), DNM_MACIDNumberError);
  EXPECT_EQ(DNM_AddDevice(0, 1, 5, 0), DNM_MasterStateError);
  EXPECT_TRUE(HasLine("AddDevice()   Error!Port 1 is not in Online state"));
  EXPECT_EQ(DNM_RemoveDevice(0, 0, 6), DNM_DeviceNotInScanList);
  EXPECT_TRUE(HasLine("RemoveDevice()   Error!MAC ID 6 is not in the ScanList"));
  EXPECT_EQ(port_->map().Count(), 1);
  ASSERT_EQ(DNM_AddDevice(0, 0, 6, 1), 0);
  EXPECT_EQ(port_->map().Count(), 3);
  MapTable::Matches matches;
  EXPECT_EQ(port_->map().FindConnectionID(0x746, matches), MapTable::kFound);
  port_->map().AddMap(0x3C6, 6, 1);  // as an I/O configuration would
  ASSERT_EQ(DNM_RemoveDevice(0, 0, 6), 0);
  EXPECT_EQ(port_->map().Count(), 1);
  EXPECT_EQ(port_->map().FindConnectionID(0x42B, matches), MapTable::kFound);
  EXPECT_FALSE(port_->InScanList(6));
  EXPECT_EQ(port_->device(6), nullptr);

  // Listing on a silent network or an offline port.
  uint8_t list[64] = {};
  uint8_t count = 99;
  ASSERT_EQ(DNM_GetAllDeviceMACID(0, 0, list, &count), 0);
  EXPECT_EQ(count, 0);
  count = 99;
  EXPECT_EQ(DNM_GetAllDeviceMACID(0, 1, list, &count), DNM_MasterStateError);
  EXPECT_EQ(count, 99);
  EXPECT_EQ(DNM_GetAllDeviceMACID(0, 4, list, &count), DNM_PortNumberError);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(DNM_GetAllDeviceMACID(0, 0, nullptr, &count), DNM_NullPointerError);
  EXPECT_EQ(DNM_GetAllDeviceMACID(0, 0, list, nullptr), DNM_NullPointerError);
}

TEST_F(ScanList, StartAndStopFollowTheDeviceStateAndAWorkerNotMadeIsNotConfigured) {
  Start();
  ASSERT_EQ(DNM_AddDevice(0, 0, 5, 0), 0);
  EXPECT_EQ(DNM_StartDevice(0, 0, 5), DNM_ExplicitMsgNotConfigure);
  EXPECT_TRUE(HasLine("Error! Explicit Message does not be allocated"));
  EXPECT_EQ(DNM_StartDevice(0, 0, 6), DNM_DeviceNotInScanList);
  EXPECT_TRUE(HasLine("AddDevice()   Error!MAC ID 6 is NOT in the ScanList"));
  ASSERT_EQ(DNM_ConfigExplicitMsg(0, 0, 5, 3), 0);
  EXPECT_EQ(DNM_StopDevice(0, 0, 5), DNM_DeviceIsUnConnected);
  EXPECT_EQ(DNM_StartDevice(0, 0, 5), 0);
  EXPECT_TRUE(
      HasLine("ConnectionObject::Start_ExplicitMsg( )   Explicit Message Resumed successfully!"));
  EXPECT_EQ(DNM_StartDevice(0, 0, 5), DNM_DeviceAlreadyStarted);
  EXPECT_EQ(DNM_StopDevice(0, 0, 5), 0);
  EXPECT_EQ(port_->device(5)->stop_flag(kExplicit), 1);
  EXPECT_EQ(DNM_StopDevice(0, 0, 5), DNM_DeviceIsUnConnected);
  EXPECT_EQ(DNM_StartDevice(0, 0, 5), 0);
  EXPECT_EQ(port_->device(5)->stop_flag(kExplicit), 0);

  // A device whose worker could not be made is not configured.
  ASSERT_EQ(DNM_AddDevice(0, 0, 6, 0), 0);
  platform::FailNextThreadCreations(1);
  EXPECT_EQ(DNM_ConfigExplicitMsg(0, 0, 6, 3), 0);  // the failure shows in the trace only
  EXPECT_TRUE(HasLine(
      "ConnectionObject::CreateExplicitMsgThread( ) DesMACID 6 Created Explicit Msg Thread Error"));
  EXPECT_EQ(DNM_StartDevice(0, 0, 6), DNM_ExplicitMsgNotConfigure);
  EXPECT_TRUE(
      HasLine("ConnectionObject( )::Start_ExplicitMsg   Error!Explicit Message Connection does not "
              "configure!"));
}

TEST_F(ScanList, StartingThePortStopsAtTheFirstDeviceThatFails) {
  Start();
  for (uint8_t mac : {1, 2, 3, 4, 5}) ASSERT_EQ(DNM_AddDevice(0, 0, mac, 0), 0);
  for (uint8_t mac : {1, 2, 4, 5}) ASSERT_EQ(DNM_ConfigExplicitMsg(0, 0, mac, 3), 0);
  const auto started = [&] {
    std::vector<bool> flags;
    for (uint8_t mac = 1; mac <= 5; ++mac) flags.push_back(port_->IsStarted(mac));
    return flags;
  };
  EXPECT_EQ(DNM_StartCommunicate(0, 0), DNM_ExplicitMsgNotConfigure);
  EXPECT_EQ(started(), (std::vector<bool>{true, true, false, false, false}));
  EXPECT_EQ(DNM_StopCommunicate(0, 0), 0);
  EXPECT_EQ(started(), std::vector<bool>(5, false));
  EXPECT_EQ(DNM_StopCommunicate(0, 0), 0);  // nothing started: nothing to do
  ASSERT_EQ(DNM_RemoveDevice(0, 0, 3), 0);
  EXPECT_EQ(DNM_StartCommunicate(0, 0), 0);
  EXPECT_EQ(started(), (std::vector<bool>{true, true, false, true, true}));
  EXPECT_EQ(DNM_StartCommunicate(0, 0), 0);
}

TEST_F(ScanList, ListsEveryNodeThatAnswersInOrderAndLeavesNoRouteBehind) {
  Start(
      "dupmac segment=vcan0.1 mac=33 answer=1\n"
      "dupmac segment=vcan0.1 mac=2 answer=1\n"
      "dupmac segment=vcan0.1 mac=63 answer=1\n"
      "dupmac segment=vcan0.1 mac=0 answer=1\n");
  ASSERT_EQ(DNM_AddDevice(0, 0, 5, 0), 0);
  uint8_t list[64] = {};
  uint8_t count = 99;
  ASSERT_EQ(DNM_GetAllDeviceMACID(0, 0, list, &count), 0);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(std::vector<uint8_t>(list, list + 4), (std::vector<uint8_t>{0, 2, 33, 63}));
  EXPECT_EQ(port_->map().Count(), 1);  // only the device's own route
}

// Devices come and go while their frames flow; run under the sanitizers
// this catches a receive thread touching a freed device or buffer.
TEST_F(ScanList, DevicesComeAndGoWhileFramesFlow) {
  Start();
  const int32_t noise = VCAN_AttachNode(0, 1, 500);
  // Explicit answers and I/O frames for every device, addressed to the master, until the end.
  std::jthread flood([&](std::stop_token stop) {
    for (uint8_t mac = 0; !stop.stop_requested(); mac = (mac + 1) % 20) {
      const CANMsg answer = test::MakeFrame(0x403 + mac * 8u, {0x40 | kMaster, 0xCB, 0x00});
      const CANMsg io = test::MakeFrame(0x3C0 + mac, {0, 0});
      VCAN_NodeSend(noise, &answer, 100);
      VCAN_NodeSend(noise, &io, 100);
    }
  });
  for (int round = 0; round < 4; ++round) {
    for (uint8_t mac = 0; mac < 20; ++mac) {
      ASSERT_EQ(DNM_AddDevice(0, 0, mac, mac % 2), 0);
      ASSERT_EQ(DNM_ConfigExplicitMsg(0, 0, mac, 3), 0);
      port_->map().AddMap(0x3C0 + mac, mac, 1);
    }
    ASSERT_EQ(DNM_StartCommunicate(0, 0), 0);
    platform::SleepMs(100);
    ASSERT_EQ(DNM_StopCommunicate(0, 0), 0);
    for (uint8_t mac = 0; mac < 20; mac += 2) ASSERT_EQ(DNM_RemoveDevice(0, 0, mac), 0);
    ASSERT_EQ(DNM_StartCommunicate(0, 0), 0);
    for (uint8_t mac = 1; mac < 20; mac += 2) ASSERT_EQ(DNM_RemoveDevice(0, 0, mac), 0);
  }
  flood.request_stop();
  flood.join();
  EXPECT_EQ(port_->map().Count(), 0);
  EXPECT_EQ(DNM_CloseBoard(0), 0);
}

}  // namespace
}  // namespace dnm
