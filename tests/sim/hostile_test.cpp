// Slaves that misbehave against a master: switched off and on, chattering frames that answer
// nothing, cutting or miscounting the fragments of their answers, answering late. Table rows
// each get a slave of their own in one card, as the card is built once per process.

#include <chrono>
#include <thread>

#include "MasterSide.h"

namespace dnsim_test {
namespace {

using vcan_test::DataOf;
using vcan_test::StampOf;

constexpr uint8_t kSlave = 9;
constexpr uint8_t kMaster = 2;
constexpr uint8_t kFrag = 0x80 | kMaster;

// Attribute 1 (14 bytes) is answered in first, middle and last fragment; 2 (10 bytes) in two.
constexpr const char* kAttributes = " attr=1:A0A1A2A3A4A5A6A7A8A9AAABACAD,2:A0A1A2A3A4A5A6A7A8A9";

class Hostile : public testing::Test {
 protected:
  void Behave(const char* options, uint8_t slave = kSlave) {
    ASSERT_EQ(VCAN_SlaveSetBehaviour(0, 1, slave, options), 0);
  }
  void Get(uint32_t id, uint8_t header, uint8_t class_id, uint8_t attribute) {
    master_.Send(id, {header, 0x0E, class_id, 1, attribute});
  }

  Master master_ = Master::OnPort(kMaster);
};

TEST_F(Hostile, PowerCycleForgetsConnectionsTransfersAndWaitingFrames) {
  ASSERT_NO_FATAL_FAILURE(StartOnline(SlaveLine(kSlave, std::string("ucmm=1") + kAttributes)));
  ASSERT_TRUE(master_.Allocate(kSlave, 0x03));
  master_.Send(Group3Id(6, kMaster), {0x40 | kSlave, 0x4B, 0x00, 0x31});
  EXPECT_EQ(master_.ReceiveOn(Group3Id(5, kSlave)), (Data{0x40 | kMaster, 0xCB, 0, 0x10, 7, 0}));
  Get(RequestId(kSlave), kMaster, 0x64, 1);
  EXPECT_EQ(master_.ReceiveOn(ResponseId(kSlave)).at(1), 0x00) << "first fragment, not acked";
  Behave("delay=300");
  Get(Group3Id(1, kMaster), kSlave, 3, 1);
  std::this_thread::sleep_for(milliseconds(100));  // heard; its answer waits out the delay
  Behave("power_cycle=1");
  EXPECT_TRUE(master_.ExpectNothing(1300)) << "no late answer, no resent fragment, no check";

  EXPECT_EQ(HeldSet(kSlave), (std::vector<int>{0, -1, 0, 0}));
  const VCAN_SlaveState state = SlaveState(kSlave);
  EXPECT_EQ(state.ucmm_count, 0);
  EXPECT_EQ(state.requests[VCAN_SLAVE_GET], 2u) << "the counters go on";

  Get(RequestId(kSlave), kMaster, 3, 1);
  Get(Group3Id(1, kMaster), kSlave, 3, 1);
  EXPECT_TRUE(master_.ExpectNothing(500)) << "the old connections are gone";
  EXPECT_EQ(SlaveState(kSlave).ignored_frames, 2u);
  EXPECT_TRUE(master_.Allocate(kSlave, 0x01)) << "served as by a fresh device";
  EXPECT_EQ(VCAN_SlaveReadAttribute(0, 1, kSlave, 2, nullptr, 0), 10) << "configuration stays";

  Behave("power_check=1 power_cycle=1");
  EXPECT_EQ(master_.ReceiveOn(DupMacId(kSlave)), (Data{0x00, 0x2C, 0x1D, 0xC3, 0xB2, 0xA1, 0x00}));
  EXPECT_EQ(SlaveState(kSlave).explicit_allocated, 0);
}

TEST_F(Hostile, LateAnswersLeaveInTheOrderOfTheirRequests) {
  ASSERT_NO_FATAL_FAILURE(StartOnline(SlaveLine(kSlave, std::string("delay=400") + kAttributes)));
  ASSERT_TRUE(master_.Allocate(kSlave, 0x01));
  const uint64_t sent = vcan_test::MonotonicMicros();
  Get(RequestId(kSlave), kMaster, 3, 1);           // MAC ID
  Get(RequestId(kSlave), kMaster, 1, 1);           // vendor ID
  std::this_thread::sleep_for(milliseconds(150));  // both heard, their answers waiting
  Behave("delay=0");
  Get(RequestId(kSlave), kMaster, 1, 3);  // product code
  const auto first = master_.Receive();
  ASSERT_TRUE(first);
  EXPECT_EQ(DataOf(*first), (Data{kMaster, 0x8E, kSlave}));
  EXPECT_GE(StampOf(*first) - sent, 400'000u) << "a later change does not hurry a waiting answer";
  EXPECT_EQ(master_.ReceiveOn(ResponseId(kSlave)), (Data{kMaster, 0x8E, 0x2C, 0x1D}))
      << "a new request does not end an answer waiting out its delay";
  EXPECT_EQ(master_.ReceiveOn(ResponseId(kSlave)), (Data{kMaster, 0x8E, 0x01, 0x00}))
      << "an answer without delay does not overtake";
}

struct StrayCase {
  uint8_t slave;
  const char* options;
  const char* run_time;
  int count;
  uint32_t id;
};

constexpr StrayCase kStrayCases[] = {
    {20, "stray=3 delay=200", "", 3, ResponseId(20)},  // from the start
    {21, "", "stray=64", 64, ResponseId(21)},
    {22, "", "stray=255", 255, ResponseId(22)},  // beyond the transmit queue
    {23, "", "stray_id=0x123 stray=2", 2, 0x123},
};

// [kFrag, type_and_count, size bytes counting up from first]
Data Fragment(uint8_t type_and_count, size_t size, uint8_t first) {
  Data fragment = Bytes(2 + size, static_cast<uint8_t>(first - 2));
  fragment[0] = kFrag;
  fragment[1] = type_and_count;
  return fragment;
}

const Data kFirst{kFrag, 0x00, 0x8E, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4};
const Data kShortFirst{kFrag, 0x00, 0x8E, 0xA0};  // v1..v4 never come
Data Middle(uint8_t count) {
  return Fragment(0x40 | count, 6, 0xA5);
}
Data LastOf14(uint8_t count) {
  return Fragment(0x80 | count, 3, 0xAB);
}
Data LastOf10(uint8_t count) {
  return Fragment(0x80 | count, 5, 0xA5);
}

// The fragments of the answers to Gets of one attribute in a row, each fragment acknowledged
// with the count it carried.
struct FlawCase {
  uint8_t slave;
  const char* options;
  uint8_t attribute;
  std::vector<std::vector<Data>> answers;
};

// Stray frames go out back to back; flawed fragments are the documented frames.
TEST_F(Hostile, StrayFramesGoOutBackToBackAndFlawedFragmentsAreTheDocumentedFrames) {
  const FlawCase cases[] = {
      {30,
       "frag_short=1",
       1,
       {{kShortFirst, Middle(1), LastOf14(2)}, {kFirst, Middle(1), LastOf14(2)}}},
      {31,
       "frag_short=2",
       2,
       {{kFirst, LastOf10(1)}, {kShortFirst, LastOf10(1)}, {kFirst, LastOf10(1)}}},
      {32, "frag_skip=1", 1, {{kFirst, Middle(4), LastOf14(5)}, {kFirst, Middle(1), LastOf14(2)}}},
      {33, "frag_skip=1", 2, {{kFirst, LastOf10(4)}}},
      {34, "frag_short=1 frag_skip=1", 1, {{kShortFirst, Middle(4), LastOf14(5)}}},
  };
  ASSERT_NO_FATAL_FAILURE(
      StartOnline(Slaves(kStrayCases, kAttributes) + Slaves(cases, kAttributes)));
  for (const StrayCase& c : kStrayCases) {
    SCOPED_TRACE(std::string(c.options) + c.run_time);
    Behave(c.run_time, c.slave);
    std::vector<uint64_t> stamps;
    for (int i = 0; i < c.count; ++i) {
      const auto msg = master_.Receive();
      ASSERT_TRUE(msg && msg->id == c.id && DataOf(*msg) == Data{0x00}) << "frame " << i;
      stamps.push_back(StampOf(*msg));
    }
    // A millisecond a frame, and 20 ms for a starved sender: far below any pause between frames.
    EXPECT_LT(stamps.back() - stamps.front(), c.count * 1000u + 20000u) << "not spread out";
    EXPECT_TRUE(master_.ExpectNothing(300));
  }

  // Flawed fragments, each acknowledged with the count it carried.
  for (const FlawCase& c : cases) {
    SCOPED_TRACE(c.options);
    ASSERT_TRUE(master_.Allocate(c.slave, 0x01));
    for (const std::vector<Data>& expected : c.answers) {
      Get(RequestId(c.slave), kMaster, 0x64, c.attribute);
      EXPECT_EQ(master_.ReceiveFragments(ResponseId(c.slave), RequestId(c.slave), kFrag), expected);
    }
  }
  EXPECT_TRUE(master_.ExpectNothing(1200)) << "each last acknowledgement ended its transfer";
}

}  // namespace
}  // namespace dnsim_test
