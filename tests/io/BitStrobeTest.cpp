// Bit-strobe connections: the port's request thread and the devices' inputs.
#include <gtest/gtest.h>

#include <thread>

#include "IoSlave.h"
#include "MasterLib.h"
#include "VirtualCard.h"

namespace dnm::test {
namespace {

class BitStrobe : public OnlineMaster {
 protected:
  void SetUp() override {
    OnlineMaster::SetUp();
    settings_->mac = 5;
    slave_ = std::make_unique<Responder>(*card_, 0, 0, IoSlave(settings_));
    ASSERT_EQ(lib_.DNM_AddDevice(0, 0, 5, 0), 0);
  }

  bool WaitStrobe(uint16_t want) {
    return Eventually([&] { return lib_.DNM_CheckBitStrobeConnectionStatus(0, 0, 5) == want; },
                      6000);
  }

  std::vector<uint8_t> Read() { return ReadInputs(lib_.DNM_ReadBitStrobe, 5); }

  // Commands heard on the identifier of master MAC ID master.
  size_t Commands(uint8_t master) const { return slave_->HeardWith(0x400u + master * 8u).size(); }

  std::shared_ptr<IoSlaveSettings> settings_ = std::make_shared<IoSlaveSettings>();
  std::unique_ptr<Responder> slave_;
};

TEST_F(BitStrobe, SetUpFollowsThePollAndWrongSizedAnswersAreIgnored) {
  ASSERT_EQ(lib_.DNM_ConfigBitStrobe(0, 0, 5, 9, 2500, 0), DNM_IOSizeTooLarge);
  ASSERT_EQ(lib_.DNM_ConfigPoll(0, 0, 5, 2, 2, 2500, 0), 0);
  ASSERT_EQ(lib_.DNM_ConfigBitStrobe(0, 0, 5, 2, 2500, 0), 0);
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, 5), 0);
  ASSERT_TRUE(WaitStrobe(0));
  // The bit-strobe connection is set up after the poll connection.
  const auto rates = slave_->HeardWith(0x42C, 0x10);
  ASSERT_GE(rates.size(), 3u);  // watchdog action, poll rate, bit-strobe rate
  EXPECT_EQ(rates[1].msg.data[3], 2);
  EXPECT_EQ(rates[2].msg.data[3], 3);
  std::this_thread::sleep_for(milliseconds(700));
  EXPECT_EQ(Read(), IoInput(0x10, 2));
  settings_->strobe_produced = 3;
  settings_->first_input = 0x30;
  std::this_thread::sleep_for(milliseconds(1200));
  EXPECT_EQ(Read(), IoInput(0x10, 2));
  EXPECT_EQ(lib_.DNM_GetBitStrobeNoResponse(0, 0, 5), 0u);
  // Two response waits in a row without any answer are counted and lose the
  // connection, before the poll connection notices (two 5 s waits).
  const size_t releases = slave_->HeardWith(0x42E, 0x4C).size();
  settings_->io_silent = true;
  EXPECT_TRUE(slave_->WaitFor(0x42E, 0x4C, releases + 1, 8000));
  EXPECT_EQ(lib_.DNM_GetBitStrobeNoResponse(0, 0, 5), 2u);
  EXPECT_EQ(lib_.DNM_ConfigBitStrobe(0, 0, 5, 3, 2500, 0), 0);
  EXPECT_TRUE(lib_.HasLine(
      "ConfigBitStrobe()   Error!MAC ID 5 BitStrobe Connection has been configured before"));
}

TEST_F(BitStrobe, RequestThreadLivesWithTheStartedDevicesAndFollowsTheMacId) {
  ASSERT_EQ(lib_.DNM_ConfigBitStrobe(0, 0, 5, 2, 2500, 0), 0);
  lib_.DNM_SetBitStrobeFrequency(10);
  EXPECT_EQ(Commands(0), 0u);  // nothing before the first start
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, 5), 0);
  EXPECT_TRUE(lib_.HasLine("CANPort::CreateBitStrobeRequestThread( )   Port0 Created!"));
  ASSERT_TRUE(WaitStrobe(0));
  ASSERT_EQ(lib_.DNM_StopDevice(0, 0, 5), 0);
  EXPECT_TRUE(lib_.HasLine(
      "CANPort::SuspendBitStrobeRequestThread( )   Port 0 SuspendBitStrobeRequestThread Success!"));
  std::this_thread::sleep_for(milliseconds(200));
  const size_t stopped = Commands(0);
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_EQ(Commands(0), stopped);

  ASSERT_EQ(lib_.DNM_ChangeMACID(0, 0, 9), 0);
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, 5), 0);
  EXPECT_TRUE(lib_.HasLine(
      "CANPort::ResumeBitStrobeRequestThread( )   Port 0 ResumeBitStrobeRequestThread Success!"));
  ASSERT_TRUE(slave_->WaitFor(0x448, {}, 3, 2000));
  EXPECT_EQ(FrameText(slave_->HeardWith(0x448).back().msg), "448#FFFFFFFFFFFFFFFF");
  EXPECT_EQ(Commands(0), stopped);
  ASSERT_EQ(lib_.DNM_CloseBoard(0), 0);
  EXPECT_TRUE(lib_.HasLine(
      "CANPort::TerminateBitStrobeRequestThread( )   Port 0 TerminatBitStrobeRequestThread "
      "Success!"));
}

}  // namespace
}  // namespace dnm::test
