// COS and cyclic connections against a slave played by a test node: the
// test sends the slave's inputs itself and watches what the master answers.
#include <gtest/gtest.h>

#include <thread>

#include "IoSlave.h"
#include "MasterLib.h"
#include "VirtualCard.h"

namespace dnm::test {
namespace {

constexpr uint8_t kMac = 5;

class CosCyclic : public OnlineMaster {
 protected:
  void SetUp() override {
    OnlineMaster::SetUp();
    slave_ = std::make_unique<Responder>(*card_, 0, 0, IoSlave(settings_));
    ASSERT_EQ(lib_.DNM_AddDevice(0, 0, kMac, 0), 0);
  }

  bool WaitStatus(uint16_t want, int limit_ms = 6000) {
    return Eventually([&] { return lib_.DNM_CheckCOSConnectionStatus(0, 0, kMac) == want; },
                      limit_ms);
  }

  // Sends one input message as the slave, in fragments when longer than 8.
  void Produce(std::vector<uint8_t> input) {
    if (input.size() <= 8) return slave_->Send(MakeFrame(0x340 + kMac, input));
    input.insert(input.begin() + 7, 0x81);
    input.insert(input.begin(), 0x00);
    slave_->Send(MakeFrame(0x340 + kMac, {input.begin(), input.begin() + 8}));
    slave_->Send(MakeFrame(0x340 + kMac, {input.begin() + 8, input.end()}));
  }

  std::vector<uint8_t> Read() { return ReadInputs(lib_.DNM_ReadCOSInputData, kMac); }

  size_t Heard(uint32_t id) const { return slave_->HeardWith(id).size(); }

  std::shared_ptr<IoSlaveSettings> settings_ = std::make_shared<IoSlaveSettings>();
  std::unique_ptr<Responder> slave_;
};

TEST_F(CosCyclic, WithoutPollTheNewestInputIsAcknowledgedAndAnsweredWithTheOutput) {
  settings_->produced = 4;
  settings_->consumed = 3;
  ASSERT_EQ(lib_.DNM_ConfigCOS(0, 0, kMac, 4, 3, 0, 2500, 0), 0);
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, kMac), 0);
  ASSERT_TRUE(WaitStatus(0));
  const uint8_t output[3] = {9, 8, 7};
  ASSERT_EQ(lib_.DNM_WriteCOSOutputData(0, 0, kMac, output, 2), DNM_WriteCOSOutputDataLengthError);
  ASSERT_EQ(lib_.DNM_WriteCOSOutputData(0, 0, kMac, output, 3), 0);
  Produce({1, 2, 3, 4});
  ASSERT_TRUE(slave_->WaitFor(0x405 + kMac * 8, {}, 1, 1000));
  EXPECT_EQ(FrameText(slave_->HeardWith(0x402 + kMac * 8).at(0).msg), "42A#");
  EXPECT_EQ(FrameText(slave_->HeardWith(0x405 + kMac * 8).at(0).msg), "42D#090807");
  EXPECT_EQ(Read(), (std::vector<uint8_t>{1, 2, 3, 4}));
  // Inputs held meanwhile: the next pass keeps the newest, acknowledges and answers it once.
  for (uint8_t i = 5; i <= 8; ++i) Produce({i, i, i, i});
  // The output is not acknowledged: counted after 3 s.
  std::this_thread::sleep_for(milliseconds(3300));
  EXPECT_EQ(lib_.DNM_GetCOS_CyclicWithoutPollACKNoResponse(0, 0, kMac), 1u);
  ASSERT_TRUE(slave_->WaitFor(0x405 + kMac * 8, {}, 2, 1000));
  slave_->Send(MakeFrame(0x3C0 + kMac, {}));
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(Read(), (std::vector<uint8_t>{8, 8, 8, 8}));
  EXPECT_EQ(Heard(0x402 + kMac * 8), 2u);
  EXPECT_EQ(lib_.DNM_GetCOS_CyclicWithoutPollACKNoResponse(0, 0, kMac), 1u);
  // An input of the wrong length is counted and sets the connection up again.
  Produce({1, 2, 3});
  ASSERT_TRUE(WaitStatus(255, 2000) || WaitStatus(DNM_ExplicitConnectionDown, 2000));
  EXPECT_EQ(lib_.DNM_GetCOS_CyclicWithPollErrorResponse(0, 0, kMac), 1u);
  ASSERT_TRUE(WaitStatus(0, 8000));
  EXPECT_EQ(Read(), (std::vector<uint8_t>{8, 8, 8, 8}));
}

TEST_F(CosCyclic, BesidePollInputsComeInFragmentsAndNeedNoOutput) {
  settings_->produced = 10;
  settings_->consumed = 2;
  ASSERT_EQ(lib_.DNM_ConfigPoll(0, 0, kMac, 10, 2, 2500, 0), 0);
  ASSERT_EQ(lib_.DNM_ConfigCyclic(0, 0, kMac, 10, 2, 0, 2500, 0), 0);
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, kMac), 0);
  ASSERT_TRUE(
      Eventually([&] { return lib_.DNM_CheckCyclicConnectionStatus(0, 0, kMac) == 0; }, 8000));
  const size_t acks = Heard(0x402 + kMac * 8);
  Produce({10, 11, 12, 13, 14, 15, 16, 17, 18, 19});
  ASSERT_TRUE(slave_->WaitFor(0x402 + kMac * 8, {}, acks + 1, 1000));
  EXPECT_EQ(ReadInputs(lib_.DNM_ReadCyclicInputData, kMac),
            (std::vector<uint8_t>{10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
  EXPECT_EQ(slave_->HeardWith(0x3C0 + kMac).size(), 0u);
  // A message whose last fragment was lost is never completed by the next
  // message's tail: it is a fragment error, and the next message is whole.
  const std::vector<uint8_t> whole = {20, 21, 22, 23, 24, 25, 26, 27, 28, 29};
  slave_->Send(MakeFrame(0x340 + kMac, {0x00, 1, 1, 1, 1, 1, 1, 1}));
  Produce(whole);
  ASSERT_TRUE(slave_->WaitFor(0x402 + kMac * 8, {}, acks + 2, 1000));
  EXPECT_EQ(ReadInputs(lib_.DNM_ReadCyclicInputData, kMac), whole);
  EXPECT_EQ(lib_.DNM_GetCOS_CyclicWithPollFragmentError(0, 0, kMac), 1u);
  // Nor by a tail that came after frames were lost (the port's receive FIFO overran after
  // the first fragment was taken): the input stays as it was.
  lib_.ClearTrace();
  slave_->Send(MakeFrame(0x340 + kMac, {0x00, 3, 3, 3, 3, 3, 3, 3}));
  ASSERT_TRUE(Eventually([&] { return !lib_.LinesWith("Read Fragment Message").empty(); }, 2000));
  card_->Fail("CAN_ReceiveMsg", CAN_DataOverrun, 1);
  slave_->Send(MakeFrame(0x340 + kMac, {0x81, 3, 3, 3}));
  EXPECT_TRUE(Eventually(
      [&] { return lib_.DNM_GetCOS_CyclicWithPollFragmentError(0, 0, kMac) == 2u; }, 2000));
  EXPECT_EQ(ReadInputs(lib_.DNM_ReadCyclicInputData, kMac), whole);
}

// At rate 0 nothing bounds the time between inputs; a device whose productions come broken
// (here one byte too long) three in a row is lost as a silent one is, and set up again.
TEST_F(CosCyclic, AtRateZeroThreeBrokenProductionsInARowLoseTheConnection) {
  settings_->produced = 10;
  ASSERT_EQ(lib_.DNM_ConfigPoll(0, 0, kMac, 10, 2, 2500, 0), 0);
  ASSERT_EQ(lib_.DNM_ConfigCOS(0, 0, kMac, 10, 2, 0, 0, 0), 0);
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, kMac), 0);
  ASSERT_TRUE(WaitStatus(0, 8000));
  const auto produce_broken = [&](uint16_t errors) {
    slave_->Send(MakeFrame(0x340 + kMac, {0x00, 1, 1, 1, 1, 1, 1, 1}));
    slave_->Send(MakeFrame(0x340 + kMac, {0x81, 1, 1, 1, 1}));
    return Eventually(
        [&] { return lib_.DNM_GetCOS_CyclicWithPollFragmentError(0, 0, kMac) == errors; }, 3000);
  };
  ASSERT_TRUE(produce_broken(1));
  Produce(IoInput(0x20, 10));  // a whole one between starts the count again
  ASSERT_TRUE(produce_broken(2));
  ASSERT_TRUE(produce_broken(3));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(lib_.DNM_CheckCOSConnectionStatus(0, 0, kMac), 0);
  EXPECT_EQ(Read(), IoInput(0x20, 10));
  ASSERT_TRUE(produce_broken(4));
  DNM_SetupFailure lost{};
  EXPECT_TRUE(Eventually([&] {
    return lib_.DNM_GetSetupFailure(0, 0, kMac, DNM_ConnectionCOS_Cyclic, &lost) == 0 &&
           lost.cause == DNM_SetupLost;
  }, 3000));
  EXPECT_EQ(lost.missed_answers, 3);
  EXPECT_TRUE(lib_.HasLine("COS_Cyclic Inputs Broken!"));
  EXPECT_TRUE(WaitStatus(0, 8000));
}

// Configured while the device's workers run (under ThreadSanitizer the case checks that they
// read the device's connections and buffers safely meanwhile): the new connection waits
// suspended and stands from the next start on, the standing ones carry on.
TEST_F(CosCyclic, AConnectionConfiguredWhileTheDeviceRunsStandsFromTheNextStart) {
  settings_->produced = 4;
  ASSERT_EQ(lib_.DNM_ConfigPoll(0, 0, kMac, 4, 2, 2500, 0), 0);
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, kMac), 0);
  ASSERT_TRUE(Eventually([&] { return lib_.DNM_CheckPollConnectionStatus(0, 0, kMac) == 0; }, 8000));
  ASSERT_EQ(lib_.DNM_ConfigCOS(0, 0, kMac, 4, 2, 0, 0, 0), 0);
  ASSERT_EQ(lib_.DNM_ConfigPoll(0, 0, kMac, 4, 2, 2500, 0), 0);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(lib_.DNM_CheckPollConnectionStatus(0, 0, kMac), 0);
  EXPECT_EQ(lib_.DNM_CheckCOSConnectionStatus(0, 0, kMac), 255);
  ASSERT_EQ(lib_.DNM_StopDevice(0, 0, kMac), 0);
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, kMac), 0);
  ASSERT_TRUE(WaitStatus(0, 8000));
  Produce({7, 6, 5, 4});
  EXPECT_TRUE(Eventually([&] { return Read() == std::vector<uint8_t>{7, 6, 5, 4}; }, 2000));
}

TEST_F(CosCyclic, ConfigurationAndCallsAroundTheConnection) {
  uint8_t data[64] = {};
  uint32_t length = 0;
  EXPECT_EQ(lib_.DNM_ConfigCOS(0, 0, kMac, 65, 2, 0, 2500, 0), DNM_IOSizeTooLarge);
  EXPECT_EQ(lib_.DNM_CheckCOSConnectionStatus(0, 0, kMac), DNM_COS_CyclicNotConfigure);
  EXPECT_EQ(lib_.DNM_WriteCOSOutputData(0, 0, kMac, data, 2), DNM_DeviceIsUnConnected);
  EXPECT_EQ(lib_.DNM_WriteCyclicOutputData(0, 0, kMac, data, 2), DNM_COS_CyclicNotConfigure);
  ASSERT_EQ(lib_.DNM_ConfigCOS(0, 0, kMac, 2, 2, 0, 2500, 0), 0);
  EXPECT_EQ(lib_.DNM_ConfigCyclic(0, 0, kMac, 2, 2, 0, 2500, 0), DNM_COSCyclicConflict);
  EXPECT_TRUE(lib_.HasLine("Error! You already configure COS,You can not configure Cyclic"));
  EXPECT_EQ(lib_.DNM_ConfigCOS(0, 0, kMac, 3, 2, 0, 2500, 0), 0);
  EXPECT_TRUE(
      lib_.HasLine("ConfigCOS()   Error!MAC ID 5 COS Connection has been configured before"));
  EXPECT_EQ(lib_.DNM_CheckCOSConnectionStatus(0, 0, kMac), DNM_ExplicitConnectionDown);
  EXPECT_EQ(lib_.DNM_ReadCOSInputData(0, 0, kMac, data, &length), DNM_DeviceIsUnConnected);
  // The slave reports 2 bytes where 3 are configured: set up again and again.
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, kMac), 0);
  std::this_thread::sleep_for(milliseconds(2500));
  EXPECT_NE(lib_.DNM_CheckCOSConnectionStatus(0, 0, kMac), 0);
  EXPECT_EQ(lib_.DNM_ReadCOSInputData(0, 0, kMac, data, &length), DNM_DeviceIsUnConnected);
  EXPECT_TRUE(lib_.HasLine("COS_Cyclic_Thread( ) Configure Produced_Connection_Size is 3"));
  // Started without a poll connection, the device takes none later.
  EXPECT_EQ(lib_.DNM_ConfigPoll(0, 0, kMac, 2, 2, 2500, 0), DNM_PollConnectionDisabled);
  EXPECT_TRUE(lib_.HasLine("Error! Poll Connection was disable before"));
}

}  // namespace
}  // namespace dnm::test
