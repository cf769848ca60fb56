// Every kind of I/O connection against the simulated slaves, through the
// faults a running network meets: after each one, every connection must be
// set up again with data flowing, and while a slave holds no connection the
// master must not go on reporting it as standing or its data as good.
#include <gtest/gtest.h>

#include <thread>

#include "MasterLib.h"
#include "VirtualCard.h"
#include "vcan_test.h"

namespace dnm::test {
namespace {

// A polled block, a bit-strobed sensor, a COS device without poll and a
// cyclic device beside a poll connection, producing every 20 ms: four rates
// are shorter than the COS/cyclic worker's longest pause.
enum Mac : uint8_t { kPolled = 3, kStrobed = 4, kCos = 5, kCyclic = 6 };
constexpr uint8_t kMacs[] = {kPolled, kStrobed, kCos, kCyclic};
// The longest a lost connection may still be reported as standing: two
// unanswered polls of 5 s each, or two unanswered keep-alives after 5 s of
// an idle explicit connection.
constexpr auto kDetection = milliseconds(11000);
// The pause between two samples, and how far it may overrun before the
// process counts as starved (the machine stalled or the process was stopped).
constexpr auto kSample = milliseconds(100);
constexpr auto kOverrunAllowed = milliseconds(400);

constexpr const char* kNetwork =
    "slave segment=vcan0.1 mac=3 io=poll produced=4 consumed=4\n"
    "slave segment=vcan0.1 mac=4 io=strobe produced=2\n"
    "slave segment=vcan0.1 mac=5 io=cos produced=2 consumed=2\n"
    "slave segment=vcan0.1 mac=6 io=poll,cyclic produced=4 consumed=2\n";

class IoRecovery : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    UseNetwork(kNetwork);
    lib_ = std::make_unique<MasterLib>();
    BringUp();
  }

  void BringUp() {
    ASSERT_EQ(lib_->DNM_ActiveBoard(0), 0);
    ASSERT_EQ(lib_->DNM_Online(0, 0, 0, master_), 0);
    for (uint8_t mac : kMacs) ASSERT_EQ(lib_->DNM_AddDevice(0, 0, mac, 0), 0);
    ASSERT_EQ(lib_->DNM_ConfigPoll(0, 0, kPolled, 4, 4, 200, 0), 0);
    ASSERT_EQ(lib_->DNM_ConfigBitStrobe(0, 0, kStrobed, 2, 200, 0), 0);
    ASSERT_EQ(lib_->DNM_ConfigCOS(0, 0, kCos, 2, 2, 0, 500, 0), 0);
    ASSERT_EQ(lib_->DNM_ConfigPoll(0, 0, kCyclic, 4, 2, 200, 0), 0);
    ASSERT_EQ(lib_->DNM_ConfigCyclic(0, 0, kCyclic, 4, 2, 0, 20, 0), 0);
    ASSERT_EQ(lib_->DNM_StartCommunicate(0, 0), 0);
  }

  VCAN_SlaveState Slave(uint8_t mac) const { return VirtualCard(*lib_).SlaveState(0, 0, mac); }
  void Behave(const char* options) const {
    for (uint8_t mac : kMacs) VirtualCard(*lib_).SlaveBehaviour(0, 0, mac, options);
  }

  // Whether the slave holds, for this master, the connection the device is
  // read through; and the master's read of it.
  bool SlaveHolds(uint8_t mac) const {
    const VCAN_SlaveState s = Slave(mac);
    const uint8_t state = mac == kStrobed  ? s.strobe_state
                          : mac == kPolled ? s.poll_state
                                           : s.cos_state;
    return s.master_mac == master_ && state == 3;
  }
  uint16_t Read(uint8_t mac, uint8_t* data) const {
    uint32_t length = 0;
    const auto read = mac == kPolled    ? lib_->DNM_ReadPollInputData
                      : mac == kStrobed ? lib_->DNM_ReadBitStrobe
                      : mac == kCos     ? lib_->DNM_ReadCOSInputData
                                        : lib_->DNM_ReadCyclicInputData;
    return read(0, 0, mac, data, &length);
  }

  // Samples every device for up to limit, or until all connections stand
  // again on both sides when until_back; fails on each sample where the
  // master reported a connection (status or read) that its slave had not
  // held for longer than kDetection. Both times count only while the
  // process ran: a stall stops the library, its slaves and this watch alike.
  bool Watch(Clock::duration limit, bool until_back = true) {
    Clock::duration ran{};
    for (auto last = Clock::now(); ran < limit;) {
      bool all = true;
      for (uint8_t mac : kMacs) {
        const bool held = SlaveHolds(mac);
        if (held) down_since_[mac] = {};
        if (!held && down_since_[mac] == Clock::time_point{}) {
          down_since_[mac] = Clock::now();
          starved_when_down_[mac] = starved_;
        }
        uint8_t data[64] = {};
        const bool stands = lib_->DNM_GetDeviceStatus(0, 0, mac) == 0;
        const bool reported = stands || Read(mac, data) == 0;
        const auto down_for =
            Clock::now() - down_since_[mac] - (starved_ - starved_when_down_[mac]);
        if (!held && reported && down_for > kDetection)
          ADD_FAILURE() << "MAC ID " << int{mac} << " reported standing, slave holds nothing"
                        << Starvation();
        all = all && held && stands;
      }
      if (until_back && all) return true;
      std::this_thread::sleep_for(kSample);
      ran += Ran(last, kSample);
    }
    return false;
  }

  // The time since last that the process ran, around a pause it asked for:
  // all of it, unless the pause overran by more than kOverrunAllowed.
  Clock::duration Ran(Clock::time_point& last, Clock::duration asked) {
    const auto now = Clock::now();
    const auto took = now - last;
    last = now;
    if (took <= asked + kOverrunAllowed) return took;
    starved_ += took - asked;
    if (took - asked > longest_.took - longest_.asked) longest_ = {took, asked};
    return asked;
  }

  // Says, when the process was starved, how long for: the measure of a
  // failure that the library had no time to avoid.
  std::string Starvation() const {
    if (starved_ == Clock::duration{}) return "";
    const auto ms = [](Clock::duration d) {
      return std::to_string(std::chrono::duration_cast<milliseconds>(d).count()) + " ms";
    };
    return "; the test process was starved: a pause of " + ms(longest_.asked) + " took " +
           ms(longest_.took) + ", " + ms(starved_) + " lost in all (not counted in its limits)";
  }

  // Every device's inputs change within two seconds.
  void ExpectDataFlowing() {
    uint8_t before[4][64] = {}, after[4][64] = {};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(Read(kMacs[i], before[i]), 0) << int{kMacs[i]};
    auto last = Clock::now();
    std::this_thread::sleep_for(milliseconds(2000));
    Ran(last, milliseconds(2000));
    for (int i = 0; i < 4; ++i) {
      ASSERT_EQ(Read(kMacs[i], after[i]), 0) << int{kMacs[i]} << Starvation();
      EXPECT_NE(before[i][0], after[i][0]) << "inputs frozen, MAC ID " << int{kMacs[i]};
    }
  }

  void Trigger(const std::string& fault) {
    if (fault == "power cycle") {
      Behave("power_cycle=1");
    } else if (fault == "cable pulled") {
      Behave("silent=1");
      Watch(milliseconds(12000), false);
      Behave("silent=0");
    } else if (fault == "send failure") {
      VirtualCard(*lib_).Fail("CAN_SendMsg", 17, 1);    // off the bus for one send
      std::this_thread::sleep_for(milliseconds(1000));  // the next send fails
    } else if (fault == "baud round trip") {
      ASSERT_EQ(lib_->DNM_ChangeBaudrate(0, 0, 1), 0);
      std::this_thread::sleep_for(milliseconds(1000));
      ASSERT_EQ(lib_->DNM_ChangeBaudrate(0, 0, 0), 0);
    } else if (fault == "MAC ID changes in a row") {
      // Each change meets the workers allocating under the MAC ID before.
      for (const uint8_t mac : {10, 11, 12, 1}) {
        master_ = mac;
        ASSERT_EQ(lib_->DNM_ChangeMACID(0, 0, master_), 0);
      }
    } else if (fault == "MAC ID change unheard") {
      // The slaves miss the releases before the change and hold their sets for MAC ID 0.
      Behave("silent=1");
      master_ = 10;
      ASSERT_EQ(lib_->DNM_ChangeMACID(0, 0, master_), 0);
      Behave("silent=0");
    } else if (fault == "stop and start") {
      ASSERT_EQ(lib_->DNM_StopCommunicate(0, 0), 0);
      std::this_thread::sleep_for(milliseconds(300));
      ASSERT_EQ(lib_->DNM_StartCommunicate(0, 0), 0);
    } else if (fault == "close and reopen") {
      ASSERT_EQ(lib_->DNM_CloseBoard(0), 0);
      for (uint8_t mac : kMacs) EXPECT_EQ(Slave(mac).allocated_choice, 0) << int{mac};
      BringUp();
    }
  }

  std::unique_ptr<MasterLib> lib_;
  uint8_t master_ = 0;
  Clock::time_point down_since_[64] = {};
  Clock::duration starved_when_down_[64] = {};
  Clock::duration starved_{};
  struct {
    Clock::duration took, asked;
  } longest_{};
};

TEST_P(IoRecovery, EveryConnectionComesBackWithDataFlowing) {
  ASSERT_TRUE(Watch(milliseconds(15000))) << Starvation();
  Trigger(GetParam());
  EXPECT_TRUE(Watch(milliseconds(25000))) << GetParam() << Starvation();
  ExpectDataFlowing();
}

INSTANTIATE_TEST_SUITE_P(Faults, IoRecovery,
                         ::testing::Values("power cycle", "cable pulled", "send failure",
                                           "baud round trip", "MAC ID changes in a row",
                                           "MAC ID change unheard", "stop and start",
                                           "close and reopen"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::erase(name, ' ');
                           return name;
                         });

}  // namespace
}  // namespace dnm::test
