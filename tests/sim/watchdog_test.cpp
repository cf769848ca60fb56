// The inactivity watchdog of the explicit connection and its timeout actions.

#include <chrono>
#include <thread>
#include <utility>

#include "MasterSide.h"

namespace dnsim_test {
namespace {

using std::chrono::steady_clock;

constexpr uint8_t kSlave = 63;
constexpr uint8_t kMaster = 62;
constexpr uint8_t kRateMs = 100;  // the watchdog runs at 4 x 100 ms

class Watchdog : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartOnline("slave segment=vcan0.1 mac=63\n")); }
  Data Set(uint8_t instance, uint8_t attribute, const Data& value) {
    return master_.Explicit(kSlave, SetRequest(5, instance, attribute, value));
  }
  // Allocates the choice, sets the watchdog action, then the short rate; returns when the rate
  // was answered.
  void ArmWatchdog(uint8_t action, uint8_t choice = 0x01) {
    ASSERT_TRUE(master_.Allocate(kSlave, choice));
    ASSERT_EQ(Set(1, 12, {action}), (Data{kMaster, 0x90}));
    rate_sent_at_ = steady_clock::now();
    ASSERT_EQ(Set(1, 9, {kRateMs, 0}), (Data{kMaster, 0x90}));
    armed_at_ = steady_clock::now();
  }
  // Waits for the first expiry; how long after the rate was sent it came at the least (the
  // slave arms on the request, before its answer comes back) and at the most.
  std::pair<milliseconds, milliseconds> WaitForExpiry() {
    const auto deadline = armed_at_ + milliseconds(3000);
    while (SlaveState(kSlave).watchdog_expiries == 0 && steady_clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(5));
    const auto now = steady_clock::now();
    return {std::chrono::duration_cast<milliseconds>(now - rate_sent_at_),
            std::chrono::duration_cast<milliseconds>(now - armed_at_)};
  }
  bool Answers() {
    master_.Send(RequestId(kSlave), {kMaster, 0x0E, 3, 1, 1});
    const auto answer = master_.Receive(300);
    return answer && answer->id == ResponseId(kSlave);
  }

  Master master_ = Master::OnPort(kMaster);
  steady_clock::time_point rate_sent_at_;
  steady_clock::time_point armed_at_;
};

// What the first expiry, after four rates of silence, leaves of the explicit connection.
struct Expiry {
  const char* name;
  uint8_t action;
  uint8_t choice;  // allocated before
  int state;
  uint8_t kept;  // allocation bits left
  friend void PrintTo(const Expiry& e, std::ostream* os) { *os << e.name; }
};

class WatchdogExpiry : public Watchdog, public testing::WithParamInterface<Expiry> {};

TEST_P(WatchdogExpiry, LeavesTheConnectionAsItsActionSays) {
  const Expiry& e = GetParam();
  ASSERT_NO_FATAL_FAILURE(ArmWatchdog(e.action, e.choice));
  const auto [since_sent, since_answered] = WaitForExpiry();
  EXPECT_GE(since_sent.count(), 4 * kRateMs - 5);
  EXPECT_LT(since_answered.count(), 4 * kRateMs + 400);
  EXPECT_EQ(HeldSet(kSlave),
            (std::vector<int>{e.kept & 0x01, e.kept ? kMaster : -1, e.kept, e.state}));
  EXPECT_EQ(SlaveState(kSlave).last_expiry_action, e.action);
  EXPECT_EQ(Answers(), e.state == 3) << "requests to a connection that is not established";
  if (e.action == 2) {  // auto reset: counts each expiry
    std::this_thread::sleep_for(milliseconds(4 * kRateMs + 200));
    EXPECT_GE(SlaveState(kSlave).watchdog_expiries, 2u);
    return;
  }
  if (e.kept) {  // deferred delete: deletes once the I/O connections are gone
    EXPECT_EQ(master_.Unconnected(kSlave, {0x4C, 3, 1, e.kept}), (Data{0x40 | kMaster, 0xCC}));
    EXPECT_EQ(HeldSet(kSlave), (std::vector<int>{0, -1, 0, 0}));
  }
  // Allocated again: a new connection with the defaults, rate 2500 ms, auto delete.
  EXPECT_TRUE(master_.Allocate(kSlave, 0x01));
  EXPECT_EQ(SlaveState(kSlave).explicit_state, 3);
  EXPECT_EQ(master_.Explicit(kSlave, GetRequest(5, 1, 9)), (Data{kMaster, 0x8E, 0xC4, 0x09}));
  EXPECT_EQ(master_.Explicit(kSlave, GetRequest(5, 1, 12)), (Data{kMaster, 0x8E, 0x01}));
}

INSTANTIATE_TEST_SUITE_P(Watchdog, WatchdogExpiry,
                         testing::Values(Expiry{"AutoDelete", 1, 0x01, 0, 0x00},
                                         Expiry{"TimedOut", 0, 0x01, 4, 0x00},
                                         Expiry{"AutoReset", 2, 0x01, 3, 0x01},
                                         Expiry{"DeferredWithIo", 3, 0x03, 5, 0x02},
                                         Expiry{"DeferredWithoutIo", 3, 0x01, 0, 0x00}));

TEST_F(Watchdog, EveryRequestAndAcknowledgementRestartsItAndRateZeroStopsIt) {
  ASSERT_NO_FATAL_FAILURE(ArmWatchdog(1));
  for (int i = 0; i < 4; ++i) {  // twice the timeout
    std::this_thread::sleep_for(milliseconds(2 * kRateMs));
    ASSERT_TRUE(Answers()) << "request " << i;
  }
  EXPECT_EQ(SlaveState(kSlave).watchdog_expiries, 0u);

  // Acknowledgements of an answer in fragments are frames on the connection too.
  master_.Send(RequestId(kSlave), {kMaster, 0x0E, 1, 1, 7});
  for (uint8_t count = 0; count < 3; ++count) {
    const Data fragment = master_.ReceiveOn(ResponseId(kSlave));
    ASSERT_FALSE(fragment.empty());
    std::this_thread::sleep_for(milliseconds(3 * kRateMs));
    master_.Send(RequestId(kSlave), {0x80 | kMaster, static_cast<uint8_t>(0xC0 | count), 0});
  }
  EXPECT_EQ(SlaveState(kSlave).watchdog_expiries, 0u);

  ASSERT_EQ(Set(1, 9, {0, 0}), (Data{kMaster, 0x90}));
  std::this_thread::sleep_for(milliseconds(8 * kRateMs));
  EXPECT_EQ(SlaveState(kSlave).watchdog_expiries, 0u);
  EXPECT_TRUE(Answers());
}

}  // namespace
}  // namespace dnsim_test
