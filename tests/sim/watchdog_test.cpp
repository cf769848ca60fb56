// The inactivity watchdog of the explicit connection and its timeout actions.

#include <chrono>
#include <thread>

#include "MasterSide.h"

namespace dnsim_test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using vcan_test::BringOnline;
using vcan_test::StartCard;

constexpr uint8_t kSlave = 63;
constexpr uint8_t kMaster = 62;
constexpr uint8_t kRateMs = 100;  // the watchdog runs at 4 x 100 ms

class Watchdog : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StartCard("slave segment=vcan0.1 mac=63\n"));
    ASSERT_NO_FATAL_FAILURE(BringOnline(0, 1));
  }
  Data Set(uint8_t instance, uint8_t attribute, const Data& value) {
    return master_.Explicit(kSlave, SetRequest(5, instance, attribute, value));
  }
  // Sets the watchdog action, then the short rate; returns when the rate was answered.
  void ArmWatchdog(uint8_t action) {
    ASSERT_EQ(Set(1, 12, {action}), (Data{kMaster, 0x90}));
    ASSERT_EQ(Set(1, 9, {kRateMs, 0}), (Data{kMaster, 0x90}));
    armed_at_ = steady_clock::now();
  }
  // Waits for the first expiry and returns how long after arming it came.
  milliseconds WaitForExpiry() {
    const auto deadline = armed_at_ + milliseconds(3000);
    while (SlaveState(kSlave).watchdog_expiries == 0 && steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - armed_at_);
  }
  bool Answers() {
    master_.Send(RequestId(kSlave), {kMaster, 0x0E, 3, 1, 1});
    const auto answer = master_.Receive(300);
    return answer && answer->id == ResponseId(kSlave);
  }

  Master master_ = Master::OnPort(kMaster);
  steady_clock::time_point armed_at_;
};

TEST_F(Watchdog, AutoDeleteEndsTheConnectionAfterFourRatesOfSilence) {
  ASSERT_TRUE(master_.Allocate(kSlave, 0x01));
  ASSERT_NO_FATAL_FAILURE(ArmWatchdog(1));
  const milliseconds expired_after = WaitForExpiry();
  EXPECT_GE(expired_after.count(), 4 * kRateMs - 5);
  EXPECT_LT(expired_after.count(), 4 * kRateMs + 400);

  const VCAN_SlaveState state = SlaveState(kSlave);
  EXPECT_EQ(state.explicit_allocated, 0);
  EXPECT_EQ(state.explicit_state, 0);
  EXPECT_EQ(state.master_mac, -1);
  EXPECT_EQ(state.last_expiry_action, 1);
  EXPECT_FALSE(Answers()) << "requests to a deleted connection are ignored";
  EXPECT_TRUE(master_.Allocate(kSlave, 0x01));
  // A new connection with the defaults: rate 2500 ms, auto delete.
  EXPECT_EQ(master_.Explicit(kSlave, GetRequest(5, 1, 9)), (Data{kMaster, 0x8E, 0xC4, 0x09}));
  EXPECT_EQ(master_.Explicit(kSlave, GetRequest(5, 1, 12)), (Data{kMaster, 0x8E, 0x01}));
}

TEST_F(Watchdog, TransitionToTimedOutKeepsStateFourUntilAllocatedAgain) {
  ASSERT_TRUE(master_.Allocate(kSlave, 0x01));
  ASSERT_NO_FATAL_FAILURE(ArmWatchdog(0));
  WaitForExpiry();
  const VCAN_SlaveState state = SlaveState(kSlave);
  EXPECT_EQ(state.explicit_state, 4);
  EXPECT_EQ(state.explicit_allocated, 0);
  EXPECT_EQ(state.last_expiry_action, 0);
  EXPECT_FALSE(Answers());
  EXPECT_TRUE(master_.Allocate(kSlave, 0x01));
  EXPECT_EQ(SlaveState(kSlave).explicit_state, 3);
  EXPECT_TRUE(Answers());
}

TEST_F(Watchdog, AutoResetKeepsTheConnectionAndCountsEachExpiry) {
  ASSERT_TRUE(master_.Allocate(kSlave, 0x01));
  ASSERT_NO_FATAL_FAILURE(ArmWatchdog(2));
  std::this_thread::sleep_for(milliseconds(8 * kRateMs + 200));
  const VCAN_SlaveState state = SlaveState(kSlave);
  EXPECT_GE(state.watchdog_expiries, 2u);
  EXPECT_EQ(state.last_expiry_action, 2);
  EXPECT_EQ(state.explicit_state, 3);
  EXPECT_TRUE(Answers());
}

TEST_F(Watchdog, DeferredDeleteWaitsForTheIoConnectionsToGo) {
  ASSERT_TRUE(master_.Allocate(kSlave, 0x03));
  ASSERT_NO_FATAL_FAILURE(ArmWatchdog(3));
  WaitForExpiry();
  VCAN_SlaveState state = SlaveState(kSlave);
  EXPECT_EQ(state.explicit_state, 5);
  EXPECT_EQ(state.allocated_choice, 0x02);
  EXPECT_EQ(state.master_mac, kMaster);
  EXPECT_FALSE(Answers());

  EXPECT_EQ(master_.Unconnected(kSlave, {0x4C, 3, 1, 0x02}), (Data{0x40 | kMaster, 0xCC}));
  state = SlaveState(kSlave);
  EXPECT_EQ(state.explicit_state, 0);
  EXPECT_EQ(state.master_mac, -1);
}

TEST_F(Watchdog, DeferredDeleteWithoutIoConnectionsDeletesAtOnce) {
  ASSERT_TRUE(master_.Allocate(kSlave, 0x01));
  ASSERT_NO_FATAL_FAILURE(ArmWatchdog(3));
  WaitForExpiry();
  EXPECT_EQ(SlaveState(kSlave).explicit_state, 0);
}

TEST_F(Watchdog, EveryRequestRestartsItAndRateZeroStopsIt) {
  ASSERT_TRUE(master_.Allocate(kSlave, 0x01));
  ASSERT_NO_FATAL_FAILURE(ArmWatchdog(1));
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(milliseconds(2 * kRateMs));
    ASSERT_TRUE(Answers()) << "request " << i;
  }
  EXPECT_EQ(SlaveState(kSlave).watchdog_expiries, 0u);

  ASSERT_EQ(Set(1, 9, {0, 0}), (Data{kMaster, 0x90}));
  std::this_thread::sleep_for(milliseconds(8 * kRateMs));
  EXPECT_EQ(SlaveState(kSlave).watchdog_expiries, 0u);
  EXPECT_TRUE(Answers());
}

// Acknowledgements of an answer in fragments are frames on the connection too.
TEST_F(Watchdog, AcknowledgementsRestartIt) {
  ASSERT_TRUE(master_.Allocate(kSlave, 0x01));
  ASSERT_NO_FATAL_FAILURE(ArmWatchdog(1));
  master_.Send(RequestId(kSlave), {kMaster, 0x0E, 1, 1, 7});
  for (uint8_t count = 0; count < 3; ++count) {
    const Data fragment = master_.ReceiveOn(ResponseId(kSlave));
    ASSERT_FALSE(fragment.empty());
    std::this_thread::sleep_for(milliseconds(3 * kRateMs));
    master_.Send(RequestId(kSlave), {0x80 | kMaster, static_cast<uint8_t>(0xC0 | count), 0});
  }
  EXPECT_EQ(SlaveState(kSlave).watchdog_expiries, 0u);
}

}  // namespace
}  // namespace dnsim_test
