// Change of state and cyclic connections: productions at the expected packet rate and on
// change, the master's acknowledgements, outputs where the master holds no poll connection,
// fragmented productions, the I/O watchdog, a power cycle and the behaviour keys for
// productions. Slaves produce on their own, so frames are sorted by identifier as they come.

#include <chrono>
#include <deque>
#include <map>
#include <thread>

#include "MasterSide.h"

namespace dnsim_test {
namespace {

using std::chrono::steady_clock;
using vcan_test::DataOf;

constexpr uint8_t kMaster = 1, kPoll = 0x02, kCos = 0x10, kCyclic = 0x20;
// Identifiers of slave s: group 1 ones are these + s, group 2 ones + 8 s.
constexpr uint32_t kProduction = 0x340, kOutputAck = 0x3C0, kAck = 0x402, kOutputs = 0x405;

const Data kNoFrame{0xEE, 0xEE};  // what NextData gives when no frame came

Data With(uint8_t first, Data rest) {
  rest.insert(rest.begin(), first);
  return rest;
}

class Cos : public testing::Test {
 protected:
  // The next frame on id, keeping frames on other identifiers for later.
  std::optional<CANMsg> Next(uint32_t id, uint32_t timeout_ms = kAnswerTimeoutMs) {
    if (std::deque<CANMsg>& kept = held_[id]; !kept.empty()) {
      const CANMsg msg = kept.front();
      kept.pop_front();
      return msg;
    }
    for (const auto end = steady_clock::now() + milliseconds(timeout_ms);
         steady_clock::now() < end;) {
      const auto msg = master_.Receive(10);
      if (msg && msg->id == id) return msg;
      if (msg) held_[msg->id].push_back(*msg);
    }
    return std::nullopt;
  }
  Data NextData(uint32_t id, uint32_t timeout_ms = kAnswerTimeoutMs) {
    const auto msg = Next(id, timeout_ms);
    return msg ? DataOf(*msg) : kNoFrame;
  }
  Data Request(uint8_t slave, uint32_t id, const Data& data) {
    master_.Send(id, data);
    return NextData(ResponseId(slave));
  }
  // Allocates explicit and choice, sets the rate of a poll connection to 0, then the watchdog
  // action and rate of instance 4.
  void Connect(uint8_t slave, uint8_t choice, uint16_t rate_ms, uint8_t action = 0) {
    const Data allocate{0x40 | kMaster, 0x4B, 3, 1, static_cast<uint8_t>(0x01 | choice), kMaster};
    ASSERT_EQ(Request(slave, UnconnectedId(slave), allocate), (Data{0x40 | kMaster, 0xCB, 0}));
    std::vector<Data> sets{{4, 12, action}, {4, 9, uint8_t(rate_ms), uint8_t(rate_ms >> 8)}};
    if ((choice & kPoll) != 0) sets.insert(sets.begin(), {2, 9, 0, 0});
    for (Data set : sets) {
      set.insert(set.begin(), {kMaster, 0x10, 5});
      ASSERT_EQ(Request(slave, RequestId(slave), set), (Data{kMaster, 0x90}));
    }
  }
  // The outputs whole up to 8 bytes, else (up to 14) as a first and a last fragment.
  void SendOutputs(uint8_t slave, const Data& outputs) {
    const uint32_t id = kOutputs + 8 * slave;
    if (outputs.size() <= 8) return master_.Send(id, outputs);
    master_.Send(id, With(0x00, Data(outputs.begin(), outputs.begin() + 7)));
    master_.Send(id, With(0x81, Data(outputs.begin() + 7, outputs.end())));
  }

  Master master_ = Master::OnPort(kMaster);
  std::map<uint32_t, std::deque<CANMsg>> held_;  // by identifier
};

struct OutputCase {
  uint8_t slave, choice;
  const char* options;
  size_t consumed;
  Data answer;     // on 0x3C0 + slave
  uint32_t taken;  // cos_outputs_received
};

struct RateCase {
  uint8_t slave;
  const char* options;
  uint8_t choice, action, state_after;  // watchdog action; the state 4 rates after the last ack
};

// Productions at the rate, repeats and the acknowledgements watched; then outputs without poll
// are taken and acknowledged.
TEST_F(Cos, ProducesEveryRateWatchesTheAcknowledgementsAndTakesOutputsWithoutPoll) {
  const OutputCase outputs[] = {
      {30, kCyclic, "", 2, {}, 1},
      {31, kCos, "consumed=10", 10, {}, 1},
      {32, kCyclic | kPoll, "", 2, {0, 1}, 0},  // a poll response: the outputs go to poll
      {33, kCos, "no_output_ack=1", 2, kNoFrame, 1},
      {34, kCos, "inputs=echo", 2, {}, 1},
  };
  const RateCase cases[] = {{10, "", kCyclic, 0, 4}, {11, "", kCos, 2, 3}};  // COS: heartbeats
  ASSERT_NO_FATAL_FAILURE(StartOnline(Slaves(cases) + Slaves(outputs)));
  for (const RateCase& c : cases)
    ASSERT_NO_FATAL_FAILURE(Connect(c.slave, c.choice, 200, c.action));
  uint64_t last[2] = {};
  for (uint8_t n = 0; n < 6; ++n) {
    for (const RateCase& c : cases) {
      const auto msg = Next(kProduction + c.slave, 1000);
      ASSERT_TRUE(msg) << int{c.slave};
      EXPECT_EQ(DataOf(*msg), (Data{n, 1})) << int{c.slave};
      const uint64_t gap_ms = (vcan_test::StampOf(*msg) - last[&c - cases]) / 1000;
      EXPECT_TRUE(n == 0 || (gap_ms >= 195 && gap_ms <= 260)) << gap_ms << " ms";
      last[&c - cases] = vcan_test::StampOf(*msg);
      if (n < 3) master_.Send(kAck + 8 * c.slave, {});
    }
  }
  for (const RateCase& c : cases) {
    const VCAN_SlaveState state = SlaveState(c.slave);
    EXPECT_EQ(state.cos_productions, 6u);
    EXPECT_EQ(state.cos_acks_received, 3u);
    EXPECT_EQ(state.cos_repeats, 2u) << "the 5th and 6th were due with the one before unanswered";
  }
  std::this_thread::sleep_for(milliseconds(400));  // the watchdogs expire
  for (const RateCase& c : cases) {
    const uint32_t productions = SlaveState(c.slave).cos_productions;
    std::this_thread::sleep_for(milliseconds(250));
    const VCAN_SlaveState state = SlaveState(c.slave);
    EXPECT_EQ(state.cos_state, c.state_after) << int{c.slave};
    EXPECT_GE(state.io_watchdog_expiries, 1u) << int{c.slave};
    EXPECT_EQ(state.cos_productions > productions, c.state_after == 3) << "producing";
  }
  master_.Send(kAck + 8 * 11, {0});  // not empty
  std::this_thread::sleep_for(milliseconds(50));
  ASSERT_EQ(VCAN_SlaveSetBehaviour(0, 1, 11, "power_cycle=1"), 0);
  const VCAN_SlaveState state = SlaveState(11);
  EXPECT_EQ(state.io_ignored, 1u);
  EXPECT_EQ(state.cos_state, 0);
  EXPECT_EQ(state.allocated_choice, 0);

  for (const OutputCase& c : outputs) {
    SCOPED_TRACE(int{c.slave});
    ASSERT_NO_FATAL_FAILURE(Connect(c.slave, c.choice, 150));
    ASSERT_TRUE(Next(kProduction + c.slave, 500));
    master_.Send(kAck + 8 * c.slave, {});
    const Data written = Bytes(c.consumed, 0xA0);
    SendOutputs(c.slave, written);
    EXPECT_EQ(NextData(kOutputAck + c.slave, 200), c.answer);
    Data read(16);
    EXPECT_EQ(VCAN_SlaveReadOutputs(0, 1, c.slave, read.data(), 16), int32_t(c.consumed));
    EXPECT_EQ(Data(read.begin(), read.begin() + c.consumed), written);
    const VCAN_SlaveState after = SlaveState(c.slave);
    EXPECT_EQ(after.cos_outputs_received, c.taken);
    EXPECT_EQ(after.cos_acks_received, 1u);
  }
  EXPECT_EQ(NextData(kProduction + 34), Bytes(2, 0xA0)) << "echo: the outputs, at once";
  EXPECT_EQ(Request(31, RequestId(31), {kMaster, 0x0E, 5, 4, 7}), (Data{kMaster, 0x8E, 2, 0}));
  EXPECT_EQ(Request(31, RequestId(31), {kMaster, 0x0E, 5, 4, 8}), (Data{kMaster, 0x8E, 10, 0}));
}

struct ProductionCase {
  uint8_t slave, choice;
  const char* options;
  uint16_t rate_ms;
  Data written;              // inputs written once established, if any
  std::vector<Data> frames;  // of the first production, within 400 ms
};

TEST_F(Cos, FirstProductionFollowsChangesSizesAndIoKeys) {
  const Data first{0x00, 0, 1, 2, 3, 4, 5, 6}, middle{7, 8, 9, 10, 11, 12, 13};
  const ProductionCase cases[] = {
      {20, kCos, "", 3000, {0, 9}, {{0, 9}}},  // changed at once
      {21, kCos, "", 3000, {7, 1}, {}},        // only the counter byte differs
      {22, kCos, "inputs=fixed", 3000, {7, 1}, {{7, 1}}},
      {23, kCos, "inputs=fixed", 3000, {0, 1}, {}},  // as they were
      {24, kCyclic, "inputs=fixed", 3000, {7, 1}, {}},
      {40, kCyclic, "produced=9", 150, {}, {first, {0x81, 7, 8}}},
      {41, kCos, "produced=15", 150, {}, {first, With(0x41, middle), {0x82, 14}}},
      {42, kCyclic, "produced=15 io_frag_skip=1", 150, {}, {first, With(0x42, middle), {0x83, 14}}},
      {43, kCyclic, "produced=4 io_len=2", 150, {}, {{0, 1}}},
      {44, kCos, "io_silent=1", 150, {}, {}},
  };
  ASSERT_NO_FATAL_FAILURE(StartOnline(Slaves(cases)));
  for (const ProductionCase& c : cases) {
    ASSERT_NO_FATAL_FAILURE(Connect(c.slave, c.choice, c.rate_ms));
    if (!c.written.empty()) VCAN_SlaveWriteInputs(0, 1, c.slave, c.written.data(), 2);
    std::vector<Data> frames;
    for (auto msg = Next(kProduction + c.slave, 400); msg; msg = Next(kProduction + c.slave, 20)) {
      frames.push_back(DataOf(*msg));
      if (frames.size() == c.frames.size()) break;
    }
    EXPECT_EQ(frames, c.frames) << int{c.slave};
  }
  EXPECT_EQ(SlaveState(44).cos_productions, 0u);
  NextData(kProduction + 42);  // the first fragment of its next production
  EXPECT_EQ(NextData(kProduction + 42).at(0), 0x41) << "io_frag_skip applies once";
}

}  // namespace
}  // namespace dnsim_test
