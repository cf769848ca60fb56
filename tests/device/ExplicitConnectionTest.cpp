// Establishing, keeping and releasing explicit connections, against a node
// in the test that plays the slave.
#include <gtest/gtest.h>

#include <atomic>

#include "MasterLib.h"
#include "Responder.h"
#include "VirtualCard.h"

namespace dnm::test {
namespace {

constexpr uint8_t kMaster = 0;
constexpr uint8_t kSlave = 5;
constexpr uint32_t kAllocateId = 0x406 + kSlave * 8;  // 0x42E
constexpr uint32_t kWatchdogId = 0x404 + kSlave * 8;  // 0x42C
constexpr uint32_t kResponseId = 0x403 + kSlave * 8;  // 0x42B
constexpr uint32_t kUcmmRequestId = 0x780 + kMaster;
constexpr uint32_t kUcmmResponseId = 0x740 + kSlave;

CANMsg Answer(uint32_t id, uint8_t service, std::vector<uint8_t> rest = {}) {
  std::vector<uint8_t> data = {uint8_t(0x40 | kMaster), service};
  data.insert(data.end(), rest.begin(), rest.end());
  return MakeFrame(id, data);
}

// A group-2-only slave that accepts everything.
std::vector<CANMsg> AcceptingSlave(const CANMsg& m) {
  if (m.id == kAllocateId && m.data[1] == 0x4B) return {Answer(kResponseId, 0xCB, {0x00})};
  if (m.id == kAllocateId && m.data[1] == 0x4C) return {Answer(kResponseId, 0xCC)};
  if (m.id == kWatchdogId && m.data[1] == 0x10) return {Answer(kResponseId, 0x90)};
  return {};
}

std::vector<CANMsg> UcmmSlave(const CANMsg& m) {
  if (m.id == kUcmmRequestId && m.data[1] == 0x4B)
    return {Answer(kUcmmResponseId, 0xCB, {0x00, 0x00, 0x07})};
  if (m.id == kUcmmRequestId && m.data[1] == 0x4C) return {Answer(kUcmmResponseId, 0xCC)};
  return {};
}

long Gap(const HeardFrame& a, const HeardFrame& b) {
  return std::chrono::duration_cast<milliseconds>(b.at - a.at).count();
}

class ExplicitConnection : public OnlineMaster {
 protected:
  void AddAndStart(uint8_t ucmm, uint32_t action = 3) {
    ASSERT_EQ(lib_.DNM_AddDevice(0, 0, kSlave, ucmm), 0);
    ASSERT_EQ(lib_.DNM_ConfigExplicitMsg(0, 0, kSlave, action), 0);
    ASSERT_EQ(lib_.DNM_StartDevice(0, 0, kSlave), 0);
  }
  bool WaitEstablished(int timeout_ms) {
    return Eventually([&] { return lib_.DNM_CheckExplicitMsgConnectionStatus(0, 0, kSlave) == 0; },
                      timeout_ms);
  }
};

// A stop releases the connection once; a start establishes it again; a removal releases it
// before the call returns.
TEST_F(ExplicitConnection, Group2EstablishmentSetsTheWatchdogActionOnceAndStopReleasesIt) {
  Responder slave(*card_, 0, 0, AcceptingSlave);
  AddAndStart(0, 1);
  ASSERT_TRUE(WaitEstablished(3000));
  std::this_thread::sleep_for(milliseconds(2500));
  const auto allocates = slave.HeardWith(kAllocateId, 0x4B);
  ASSERT_EQ(allocates.size(), 1u);
  EXPECT_EQ(FrameText(allocates[0].msg), "42E#404B03010100");
  const auto watchdog = slave.HeardWith(kWatchdogId);
  ASSERT_EQ(watchdog.size(), 1u);
  EXPECT_EQ(FrameText(watchdog[0].msg), "42C#401005010C01");
  EXPECT_TRUE(lib_.HasLine("ExplicitMsg OK Board 0  Port 0  DesMACID 5 "));

  ASSERT_EQ(lib_.DNM_StopDevice(0, 0, kSlave), 0);
  EXPECT_EQ(lib_.DNM_CheckExplicitMsgConnectionStatus(0, 0, kSlave), DNM_ExplicitConnectionDown);
  ASSERT_TRUE(slave.WaitFor(kAllocateId, 0x4C, 1, 3000));
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_EQ(slave.HeardWith(kAllocateId, 0x4B).size(), 1u);
  EXPECT_EQ(slave.HeardWith(kAllocateId, 0x4C).size(), 1u);
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, kSlave), 0);
  EXPECT_TRUE(WaitEstablished(3000));
  EXPECT_EQ(slave.HeardWith(kAllocateId, 0x4B).size(), 2u);
  ASSERT_EQ(lib_.DNM_RemoveDevice(0, 0, kSlave), 0);
  EXPECT_TRUE(slave.WaitFor(kAllocateId, 0x4C, 2, 500));
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_EQ(slave.HeardWith(kAllocateId, 0x4C).size(), 2u);
}

TEST_F(ExplicitConnection, SilentDeviceIsAskedAgainEverySixAndAHalfSeconds) {
  Responder slave(*card_, 0, 0, nullptr);
  AddAndStart(0);
  EXPECT_EQ(lib_.DNM_CheckExplicitMsgConnectionStatus(0, 0, kSlave), DNM_ExplicitConnectionDown);
  ASSERT_TRUE(slave.WaitFor(kAllocateId, 0x4B, 2, 10000));
  const auto allocates = slave.HeardWith(kAllocateId, 0x4B);
  // 3000 ms answer wait, 500 ms pause, 3000 ms before the next try.
  EXPECT_GE(Gap(allocates[0], allocates[1]), 5500);  // not the 4.5 s of a 1 s wait
  EXPECT_LE(Gap(allocates[0], allocates[1]), 7500);
  EXPECT_EQ(lib_.DNM_CheckExplicitMsgConnectionStatus(0, 0, kSlave), DNM_ExplicitConnectionDown);
}

// A refused allocation leaves the device holding nothing of the master's: nothing is released,
// and the next allocation follows after the 500 ms pause and 3 s. Refused as held already, the
// set is released, its answer awaited, and allocated at once again.
TEST_F(ExplicitConnection, RefusedAllocationIsRetriedWithoutReleaseUnlessHeldAlready) {
  std::atomic<uint8_t> status{0x02};  // resource unavailable, then already in the requested state
  Responder slave(*card_, 0, 0, [&](const CANMsg& m) -> std::vector<CANMsg> {
    if (m.id == kAllocateId && m.data[1] == 0x4B) return {Answer(kResponseId, 0x94, {status.load(), 0xFF})};
    if (m.id == kAllocateId && m.data[1] == 0x4C) return {Answer(kResponseId, 0xCC)};
    return {};
  });
  AddAndStart(0);
  ASSERT_TRUE(slave.WaitFor(kAllocateId, 0x4B, 2, 7000));
  status = 0x0B;
  auto allocates = slave.HeardWith(kAllocateId, 0x4B);
  EXPECT_TRUE(slave.HeardWith(kAllocateId, 0x4C).empty()) << "a release of nothing";
  EXPECT_GE(Gap(allocates[0], allocates[1]), 3450);
  EXPECT_TRUE(lib_.HasLine("Error Response"));
  EXPECT_EQ(lib_.DNM_CheckExplicitMsgConnectionStatus(0, 0, kSlave), DNM_ExplicitConnectionDown);

  ASSERT_TRUE(slave.WaitFor(kAllocateId, 0x4C, 1, 7000));
  ASSERT_TRUE(slave.WaitFor(kAllocateId, 0x4B, 4, 2000));
  allocates = slave.HeardWith(kAllocateId, 0x4B);
  const auto release = slave.HeardWith(kAllocateId, 0x4C).at(0);
  EXPECT_EQ(FrameText(release.msg), "42E#404C030101");
  EXPECT_LE(Gap(allocates[2], release), 100);
  EXPECT_LE(Gap(release, allocates[3]), 100) << "after the release's answer, not its wait";
}

TEST_F(ExplicitConnection, UcmmDeviceIsOpenedWithoutWatchdogAndClosedWithItsInstance) {
  Responder slave(*card_, 0, 0, UcmmSlave);
  AddAndStart(1);
  ASSERT_TRUE(WaitEstablished(3000));
  EXPECT_EQ(FrameText(slave.HeardWith(kUcmmRequestId, 0x4B).at(0).msg), "780#454B0030");
  EXPECT_TRUE(lib_.HasLine("Save InstanceID 7"));
  ASSERT_EQ(lib_.DNM_StopDevice(0, 0, kSlave), 0);
  ASSERT_TRUE(slave.WaitFor(kUcmmRequestId, 0x4C, 1, 3000));
  EXPECT_EQ(FrameText(slave.HeardWith(kUcmmRequestId, 0x4C).at(0).msg), "780#454C0700");
  EXPECT_TRUE(slave.HeardWith(kWatchdogId).empty());
  // Stopped, the device stays released: no new open follows.
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_EQ(slave.HeardWith(kUcmmRequestId, 0x4B).size(), 1u);
}

TEST_F(ExplicitConnection, ConfiguringTwiceKeepsOneWorkerAndTheNewAction) {
  Responder slave(*card_, 0, 0, AcceptingSlave);
  ASSERT_EQ(lib_.DNM_AddDevice(0, 0, kSlave, 0), 0);
  ASSERT_EQ(lib_.DNM_ConfigExplicitMsg(0, 0, kSlave, 3), 0);
  ASSERT_EQ(lib_.DNM_ConfigExplicitMsg(0, 0, kSlave, 2), 0);
  EXPECT_EQ(lib_.LinesWith("CreateExplicitMsgThread( ) DesMACID 5 was Created successfully").size(),
            1u);
  EXPECT_EQ(lib_.LinesWith("AllocateChoiceByte 1").size(), 1u);
  EXPECT_TRUE(slave.Heard().empty());  // configuring puts nothing on the bus
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, kSlave), 0);
  ASSERT_TRUE(WaitEstablished(3000));
  ASSERT_TRUE(slave.WaitFor(kWatchdogId, {}, 1, 1000));
  EXPECT_EQ(FrameText(slave.HeardWith(kWatchdogId).at(0).msg), "42C#401005010C02");
}

}  // namespace
}  // namespace dnm::test
