// I/O data over poll and bit-strobe connections: messages in fragments, outputs and inputs
// through the test interface, the I/O watchdog, commands not taken, the behaviour keys for I/O
// and where the inputs come from. Table rows each get a slave of their own in one card.

#include <chrono>
#include <thread>

#include "MasterSide.h"

namespace dnsim_test {
namespace {

constexpr uint8_t kMaster = 1;
constexpr uint32_t kStrobeId = 0x400 + 8 * kMaster;
// Identifiers of slave s: poll commands these + 8 s, responses these + s.
constexpr uint32_t kPoll = 0x405, kPollResponse = 0x3C0, kStrobeResponse = 0x380;

// The default inputs 0, 1, 2, ... with byte 0 counting the responses sent before.
Data Inputs(uint8_t counter, size_t size) {
  Data inputs = Bytes(size);
  if (size > 0) inputs[0] = counter;
  return inputs;
}

class Io : public testing::Test {
 protected:
  Data Set(uint8_t slave, uint8_t instance, uint8_t attribute, const Data& value) {
    return master_.Explicit(slave, SetRequest(5, instance, attribute, value));
  }
  // Allocates explicit and choice (poll 0x02 or bit-strobe 0x04) and establishes the latter.
  void Connect(uint8_t slave, uint8_t choice, uint8_t rate_ms = 0, uint8_t action = 0) {
    ASSERT_TRUE(master_.Allocate(slave, 0x01 | choice));
    const uint8_t instance = choice == 0x02 ? 2 : 3;
    ASSERT_EQ(Set(slave, instance, 12, {action}), (Data{kMaster, 0x90}));
    ASSERT_EQ(Set(slave, instance, 9, {rate_ms, 0}), (Data{kMaster, 0x90}));
  }
  // Sends the outputs whole up to 8 bytes, else in fragments of 7.
  void Poll(uint8_t slave, const Data& outputs) {
    if (outputs.size() <= 8) return master_.Send(kPoll + 8 * slave, outputs);
    for (size_t offset = 0, n = 0; offset < outputs.size(); offset += 7, ++n) {
      const size_t size = std::min<size_t>(7, outputs.size() - offset);
      const int type = n == 0 ? 0x00 : offset + size == outputs.size() ? 0x80 : 0x40;
      Data frame{static_cast<uint8_t>(type | n)};
      frame.insert(frame.end(), outputs.begin() + offset, outputs.begin() + offset + size);
      master_.Send(kPoll + 8 * slave, frame);
    }
  }
  // The frames of one response on id: one, or fragments up to the last.
  std::vector<Data> Response(uint32_t id, bool fragmented) {
    std::vector<Data> frames{master_.ReceiveOn(id)};
    while (fragmented && !frames.back().empty() && (frames.back()[0] & 0xC0) != 0x80)
      frames.push_back(master_.ReceiveOn(id));
    return frames;
  }

  Master master_ = Master::OnPort(kMaster);
};

struct SizeCase {
  uint8_t slave;
  size_t size;
  Data fragment_bytes;  // none: one frame
  size_t last_length;
};

TEST_F(Io, PollMessagesTravelWholeOrInFragmentsBothWays) {
  const SizeCase cases[] = {
      {10, 8, {}, 8},
      {11, 9, {0x00, 0x81}, 3},
      {12, 15, {0x00, 0x41, 0x82}, 2},
      {13, 64, {0x00, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x89}, 2},
  };
  std::string description;
  for (const SizeCase& c : cases) {
    const std::string size = std::to_string(c.size);
    description += SlaveLine(c.slave, "produced=" + size + " consumed=" + size);
  }
  ASSERT_NO_FATAL_FAILURE(StartOnline(description));
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.size);
    ASSERT_NO_FATAL_FAILURE(Connect(c.slave, 0x02));
    for (uint8_t round = 0; round < 2; ++round) {
      const Data outputs = Bytes(c.size, static_cast<uint8_t>(0x80 + round));
      Poll(c.slave, outputs);
      const std::vector<Data> frames = Response(kPollResponse + c.slave, c.size > 8);
      Data fragment_bytes, message;
      for (const Data& frame : frames) {
        if (c.size > 8) fragment_bytes.push_back(frame.at(0));
        message.insert(message.end(), frame.begin() + (c.size > 8 ? 1 : 0), frame.end());
      }
      EXPECT_EQ(fragment_bytes, c.fragment_bytes);
      EXPECT_EQ(frames.back().size(), c.last_length);
      EXPECT_EQ(message, Inputs(round, c.size));
      Data read(80);
      ASSERT_EQ(VCAN_SlaveReadOutputs(0, 1, c.slave, read.data(), 80), int32_t(c.size));
      EXPECT_EQ(Data(read.begin(), read.begin() + c.size), outputs);
    }
    const VCAN_SlaveState state = SlaveState(c.slave);
    EXPECT_EQ(state.poll_state, 3);
    EXPECT_EQ(state.polls, 2u);
    EXPECT_EQ(state.poll_responses, 2u);
  }
  EXPECT_TRUE(master_.ExpectNothing(200));
}

TEST_F(Io, BitStrobeIsAnsweredWithEachStrobeSizeAndCommandsOutOfPlaceAreIgnored) {
  ASSERT_NO_FATAL_FAILURE(StartOnline(SlaveLine(20, "produced=2") + SlaveLine(21, "produced=12") +
                                      SlaveLine(22, "produced=12 strobe_produced=3") +
                                      SlaveLine(23, "") + SlaveLine(40, "consumed=2") +
                                      SlaveLine(41, "consumed=9")));
  for (uint8_t slave : {20, 21, 22}) ASSERT_NO_FATAL_FAILURE(Connect(slave, 0x04));
  ASSERT_NO_FATAL_FAILURE(Connect(23, 0x02));
  for (uint8_t round = 0; round < 2; ++round) {
    master_.Send(kStrobeId, Data(8, round == 0 ? 0xFF : 0x00));  // answered whatever the bit
    for (auto [slave, size] : {std::pair{20, 2}, {21, 8}, {22, 3}})
      EXPECT_EQ(master_.ReceiveOn(kStrobeResponse + slave), Inputs(round, size)) << slave;
  }
  master_.Send(0x400 + 8 * 5, Data(8, 0xFF));  // another master's
  master_.Send(kStrobeId, Data(7, 0xFF));      // too short
  EXPECT_TRUE(master_.ExpectNothing(300));
  const VCAN_SlaveState state = SlaveState(22);
  EXPECT_EQ(state.strobe_state, 3);
  EXPECT_EQ(state.strobes, 2u);
  EXPECT_EQ(state.strobe_responses, 2u);
  EXPECT_EQ(state.io_ignored, 1u);
  EXPECT_EQ(SlaveState(23).io_ignored, 0u) << "no bit-strobe connection: none of its business";

  // Commands without a connection, of a wrong length or out of sequence are ignored.
  Poll(40, {1, 2});  // not allocated
  ASSERT_TRUE(master_.Allocate(40, 0x03));
  Poll(40, {1, 2});  // configuring
  ASSERT_EQ(Set(40, 2, 9, {0, 0}), (Data{kMaster, 0x90}));
  Poll(40, {1, 2, 3});
  ASSERT_NO_FATAL_FAILURE(Connect(41, 0x02));
  master_.Send(kPoll + 8 * 41, Bytes(8, 0x00));  // a first fragment
  master_.Send(kPoll + 8 * 41, {0x82, 1, 2});    // count 2 where 1 is due
  master_.Send(kPoll + 8 * 41, {0x81, 1, 2});    // no message under way any more
  EXPECT_TRUE(master_.ExpectNothing(300));
  EXPECT_EQ(SlaveState(40).io_ignored, 3u);
  EXPECT_EQ(SlaveState(41).io_ignored, 2u);
  Poll(41, Bytes(9));
  EXPECT_EQ(master_.ReceiveOn(kPollResponse + 41), Inputs(0, 2));
}

struct KeyCase {
  uint8_t slave;
  const char* options;
  std::vector<Data> frames;  // the response to the first poll
  int delay_ms;
};

struct WatchdogCase {  // choice: poll or bit-strobe
  uint8_t slave, choice, action, state_after, choice_after;
};

// The I/O watchdog applies its action after four rates without commands; the behaviour keys shape
// the poll responses and the reported sizes.
TEST_F(Io, IoWatchdogAppliesItsActionAndBehaviourKeysShapeThePollResponses) {
  const Data first{0x00, 0, 1, 2, 3, 4, 5, 6};
  const KeyCase keys[] = {
      {60, "produced=8 io_len=3", {{0, 1, 2}}, 0},
      {61, "produced=2 io_len=12", {first, {0x81, 7, 8, 9, 10, 11}}, 0},
      {62, "produced=15 io_frag_skip=1", {first, {0x42, 7, 8, 9, 10, 11, 12, 13}, {0x83, 14}}, 0},
      {63, "io_silent=1", {}, 0},
      {59, "delay=200", {{0, 1}}, 200},
      {58, "produced=5 inputs=echo", {{0x55, 0x55, 0, 0, 0}}, 0},
      {57, "produced=3 inputs=fixed", {{0, 1, 2}}, 0},
  };
  const WatchdogCase cases[] = {
      {50, 0x02, 0, 4, 0x03}, {51, 0x02, 1, 0, 0x01}, {52, 0x02, 2, 3, 0x03},
      {53, 0x04, 0, 4, 0x05}, {54, 0x04, 1, 0, 0x01},
  };
  std::string description = SlaveLine(55, "");
  for (const WatchdogCase& c : cases) description += SlaveLine(c.slave, "");
  ASSERT_NO_FATAL_FAILURE(StartOnline(description + Slaves(keys)));
  ASSERT_NO_FATAL_FAILURE(Connect(55, 0x02, 100, 1));
  EXPECT_EQ(Set(55, 2, 12, {3}), (Data{kMaster, 0x94, 0x09, 0xFF})) << "no deferred delete";
  for (const WatchdogCase& c : cases)
    ASSERT_NO_FATAL_FAILURE(Connect(c.slave, c.choice, 100, c.action));
  for (int i = 0; i < 6; ++i) {  // slave 55 is polled every 100 ms
    std::this_thread::sleep_for(milliseconds(100));
    Poll(55, {0, 0});
    EXPECT_EQ(master_.ReceiveOn(kPollResponse + 55).size(), 2u);
    EXPECT_TRUE(i > 2 || SlaveState(50).io_watchdog_expiries == 0) << "not before 4 x 100 ms";
  }
  EXPECT_EQ(SlaveState(55).io_watchdog_expiries, 0u);
  for (const WatchdogCase& c : cases) {
    SCOPED_TRACE(int{c.slave});
    const VCAN_SlaveState state = SlaveState(c.slave);
    EXPECT_GE(state.io_watchdog_expiries, 1u);
    EXPECT_EQ(c.choice == 0x02 ? state.poll_state : state.strobe_state, c.state_after);
    EXPECT_EQ(state.allocated_choice, c.choice_after);
  }
  Poll(50, {0, 0});
  Poll(52, {0, 0});
  EXPECT_EQ(master_.ReceiveOn(kPollResponse + 52).size(), 2u) << "auto reset answers on";
  EXPECT_TRUE(master_.ExpectNothing(200)) << "a timed-out connection takes no poll";
  EXPECT_EQ(master_.Unconnected(50, {0x4C, 3, 1, 0x02}), (Data{0x40 | kMaster, 0xCC}));
  ASSERT_TRUE(master_.Allocate(50, 0x02));
  EXPECT_EQ(SlaveState(50).poll_state, 1) << "released and allocated: configuring again";

  for (const KeyCase& c : keys) {
    SCOPED_TRACE(c.options);
    ASSERT_NO_FATAL_FAILURE(Connect(c.slave, 0x02));
    const auto sent = std::chrono::steady_clock::now();
    Poll(c.slave, {0x55, 0x55});
    std::vector<Data> frames;
    for (size_t i = 0; i < c.frames.size(); ++i)
      frames.push_back(master_.ReceiveOn(kPollResponse + c.slave));
    EXPECT_EQ(frames, c.frames);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, milliseconds(c.delay_ms));
    EXPECT_TRUE(master_.ExpectNothing(200));
  }
  EXPECT_EQ(SlaveState(63).polls, 1u) << "io_silent takes commands";
  EXPECT_EQ(SlaveState(63).poll_responses, 0u);

  Poll(62, {0x55, 0x55});
  EXPECT_EQ(Response(kPollResponse + 62, true).at(1).at(0), 0x41) << "io_frag_skip applies once";
  ASSERT_EQ(VCAN_SlaveSetBehaviour(0, 1, 61, "io_len=off report_produced=9 report_consumed=0"), 0);
  Poll(61, {0x55, 0x55});
  EXPECT_EQ(master_.ReceiveOn(kPollResponse + 61), (Data{1, 1}));
  EXPECT_EQ(master_.Explicit(61, GetRequest(5, 2, 7)), (Data{kMaster, 0x8E, 9, 0}));
  EXPECT_EQ(master_.Explicit(61, GetRequest(5, 3, 8)), (Data{kMaster, 0x8E, 0, 0}));
  EXPECT_EQ(master_.Explicit(61, GetRequest(5, 1, 7)), (Data{kMaster, 0x8E, 0x2C, 0x01}));

  const Data written{0xDE, 0xAD};
  ASSERT_EQ(VCAN_SlaveWriteInputs(0, 1, 57, written.data(), 2), 0);
  Poll(57, {0x55, 0x55});
  EXPECT_EQ(master_.ReceiveOn(kPollResponse + 57), (Data{0xDE, 0xAD, 0})) << "fixed: as written";
  EXPECT_EQ(VCAN_SlaveReadOutputs(0, 1, 56, nullptr, 0), -1) << "no such slave";
}

}  // namespace
}  // namespace dnsim_test
