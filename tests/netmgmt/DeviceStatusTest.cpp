// One code for all of a device's connections, watched while they are set up
// against slow simulated slaves.
#include <gtest/gtest.h>

#include <thread>

#include "MasterLib.h"

namespace dnm::test {
namespace {

struct SlowSlaves {
  SlowSlaves() {
    UseNetwork(
        "slave segment=vcan0.1 mac=4 delay=1500\n"
        "slave segment=vcan0.1 mac=5 delay=150\n"
        "slave segment=vcan0.1 mac=6\n");
  }
};

class DeviceStatus : public ::testing::Test, SlowSlaves {
 protected:
  // The codes the device's status passes through, each once, until it is 0.
  std::vector<uint16_t> WatchUntilStanding(uint8_t mac) {
    std::vector<uint16_t> seen;
    const auto start = Clock::now();
    while (Clock::now() - start < milliseconds(10000)) {
      const uint16_t code = lib_.DNM_GetDeviceStatus(0, 0, mac);
      if (seen.empty() || seen.back() != code) seen.push_back(code);
      if (code == 0) break;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return seen;
  }

  MasterLib lib_;
};

TEST_F(DeviceStatus, FollowsEachConnectionAsItIsSetUpAndADeviceBeingRemovedNeverStands) {
  ASSERT_EQ(lib_.DNM_ActiveBoard(0), 0);
  EXPECT_EQ(lib_.DNM_GetDeviceStatus(0, 0, 4), DNM_MasterStateError);
  EXPECT_TRUE(lib_.HasLine("GetDeviceStatus()   Error!Port 0 is not in Online state"));
  ASSERT_EQ(lib_.DNM_Online(0, 0, 0, 0), 0);
  EXPECT_EQ(lib_.DNM_GetDeviceStatus(0, 0, 64), DNM_MACIDNumberError);
  EXPECT_TRUE(lib_.HasLine("GetAttribute()   Error!MAC ID 64 is out of range"));
  for (uint8_t mac : {4, 5}) {
    ASSERT_EQ(lib_.DNM_AddDevice(0, 0, mac, 0), 0);
    ASSERT_EQ(lib_.DNM_ConfigExplicitMsg(0, 0, mac, 3), 0);
  }
  ASSERT_EQ(lib_.DNM_ConfigPoll(0, 0, 5, 2, 2, 2500, 0), 0);
  ASSERT_EQ(lib_.DNM_ConfigCOS(0, 0, 5, 2, 2, 0, 2500, 0), 0);

  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, 4), 0);
  EXPECT_EQ(WatchUntilStanding(4).back(), 0);  // explicit only
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, 5), 0);
  const std::vector<uint16_t> seen = WatchUntilStanding(5);
  ASSERT_GE(seen.size(), 3u);
  const std::vector<uint16_t> last_three(seen.end() - 3, seen.end());
  EXPECT_EQ(last_three, (std::vector<uint16_t>{DNM_DeviceIsUnConnected, 255, 0}));

  ASSERT_EQ(lib_.DNM_StopDevice(0, 0, 5), 0);
  EXPECT_EQ(lib_.DNM_GetDeviceStatus(0, 0, 5), DNM_ExplicitConnectionDown);

  // Watchers of a device whose poll connection never stands (its sizes are not the slave's) see
  // anything but 0 while another thread removes it.
  for (int round = 0; round < 8; ++round) {
    ASSERT_EQ(lib_.DNM_AddDevice(0, 0, 6, 0), 0);
    ASSERT_EQ(lib_.DNM_ConfigExplicitMsg(0, 0, 6, 3), 0);
    ASSERT_EQ(lib_.DNM_ConfigPoll(0, 0, 6, 3, 3, 2500, 0), 0);
    ASSERT_EQ(lib_.DNM_StartDevice(0, 0, 6), 0);
    ASSERT_TRUE(
        Eventually([&] { return lib_.DNM_CheckExplicitMsgConnectionStatus(0, 0, 6) == 0; }, 5000));
    std::vector<std::thread> watchers;
    for (int i = 0; i < 3; ++i) {
      watchers.emplace_back([this] {
        for (uint16_t code = 1; code != DNM_DeviceNotInScanList;) {
          code = lib_.DNM_GetDeviceStatus(0, 0, 6);
          ASSERT_NE(code, 0);
        }
      });
    }
    ASSERT_EQ(lib_.DNM_RemoveDevice(0, 0, 6), 0);
    for (std::thread& watcher : watchers) watcher.join();
  }
}

}  // namespace
}  // namespace dnm::test
