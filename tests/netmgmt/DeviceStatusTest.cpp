// One code for all of a device's connections, watched while they are set up
// against slow simulated slaves.
#include <gtest/gtest.h>

#include <thread>

#include "MasterLib.h"

namespace dnm::test {
namespace {

// Against slow simulated slaves.
TEST(DeviceStatus, FollowsEachConnectionAsItIsSetUpAndADeviceBeingRemovedNeverStands) {
  UseNetwork(
      "slave segment=vcan0.1 mac=4 delay=1500\n"
      "slave segment=vcan0.1 mac=5 delay=150\n"
      "slave segment=vcan0.1 mac=6\n");
  MasterLib lib;
  // The codes the device's status passes through, each once, until it is 0.
  const auto watch_until_standing = [&lib](uint8_t mac) {
    std::vector<uint16_t> seen;
    Eventually(
        [&] {
          const uint16_t code = lib.DNM_GetDeviceStatus(0, 0, mac);
          if (seen.empty() || seen.back() != code) seen.push_back(code);
          return code == 0;
        },
        10000, 5);
    return seen;
  };
  ASSERT_EQ(lib.DNM_ActiveBoard(0), 0);
  EXPECT_EQ(lib.DNM_GetDeviceStatus(0, 0, 4), DNM_MasterStateError);
  EXPECT_TRUE(lib.HasLine("GetDeviceStatus()   Error!Port 0 is not in Online state"));
  ASSERT_EQ(lib.DNM_Online(0, 0, 0, 0), 0);
  EXPECT_EQ(lib.DNM_GetDeviceStatus(0, 0, 64), DNM_MACIDNumberError);
  EXPECT_TRUE(lib.HasLine("GetAttribute()   Error!MAC ID 64 is out of range"));
  for (uint8_t mac : {4, 5}) {
    ASSERT_EQ(lib.DNM_AddDevice(0, 0, mac, 0), 0);
    ASSERT_EQ(lib.DNM_ConfigExplicitMsg(0, 0, mac, 3), 0);
  }
  ASSERT_EQ(lib.DNM_ConfigPoll(0, 0, 5, 2, 2, 2500, 0), 0);
  ASSERT_EQ(lib.DNM_ConfigCOS(0, 0, 5, 2, 2, 0, 2500, 0), 0);

  ASSERT_EQ(lib.DNM_StartDevice(0, 0, 4), 0);
  EXPECT_EQ(watch_until_standing(4).back(), 0);  // explicit only
  ASSERT_EQ(lib.DNM_StartDevice(0, 0, 5), 0);
  const std::vector<uint16_t> seen = watch_until_standing(5);
  ASSERT_GE(seen.size(), 3u);
  const std::vector<uint16_t> last_three(seen.end() - 3, seen.end());
  EXPECT_EQ(last_three, (std::vector<uint16_t>{DNM_DeviceIsUnConnected, 255, 0}));

  ASSERT_EQ(lib.DNM_StopDevice(0, 0, 5), 0);
  EXPECT_EQ(lib.DNM_GetDeviceStatus(0, 0, 5), DNM_ExplicitConnectionDown);

  // Watchers of a device whose poll connection never stands (its sizes are not the slave's) see
  // anything but 0 while another thread removes it.
  for (int round = 0; round < 8; ++round) {
    ASSERT_EQ(lib.DNM_AddDevice(0, 0, 6, 0), 0);
    ASSERT_EQ(lib.DNM_ConfigExplicitMsg(0, 0, 6, 3), 0);
    ASSERT_EQ(lib.DNM_ConfigPoll(0, 0, 6, 3, 3, 2500, 0), 0);
    ASSERT_EQ(lib.DNM_StartDevice(0, 0, 6), 0);
    ASSERT_TRUE(
        Eventually([&] { return lib.DNM_CheckExplicitMsgConnectionStatus(0, 0, 6) == 0; }, 5000));
    std::vector<std::thread> watchers;
    for (int i = 0; i < 3; ++i) {
      watchers.emplace_back([&lib] {
        for (uint16_t code = 1; code != DNM_DeviceNotInScanList;) {
          code = lib.DNM_GetDeviceStatus(0, 0, 6);
          ASSERT_NE(code, 0);
        }
      });
    }
    ASSERT_EQ(lib.DNM_RemoveDevice(0, 0, 6), 0);
    for (std::thread& watcher : watchers) watcher.join();
  }
}

}  // namespace
}  // namespace dnm::test
