// Poll connections against slaves played by test nodes: fragments in both
// directions, failures counted and recovered, sizes checked, and the
// application's calls around them. Timed checks allow for the time the
// process was starved, and say how much that was.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "IoSlave.h"
#include "MasterLib.h"
#include "VirtualCard.h"

namespace dnm::test {
namespace {

class Polling : public OnlineMaster {
 protected:
  // A slave with the given sizes, configured for polling (or cyclic) and started.
  IoSlaveSettings& Poll(uint8_t mac, int input, int output, bool ucmm = false, uint16_t rate = 2500,
                        bool cyclic = false) {
    auto settings = std::make_shared<IoSlaveSettings>();
    settings->mac = mac;
    settings->ucmm = ucmm;
    settings->produced = input;
    settings->consumed = output;
    slaves_.push_back(std::make_unique<Responder>(*card_, 0, 0, IoSlave(settings)));
    EXPECT_EQ(lib_.DNM_AddDevice(0, 0, mac, ucmm), 0);
    const auto in = uint16_t(input), out = uint16_t(output);
    EXPECT_EQ(cyclic ? lib_.DNM_ConfigCyclic(0, 0, mac, in, out, 0, rate, 0)
                     : lib_.DNM_ConfigPoll(0, 0, mac, in, out, rate, 0),
              0);
    EXPECT_EQ(lib_.DNM_StartDevice(0, 0, mac), 0);
    settings_.push_back(settings);
    return *settings;
  }

  // Waits until the poll status reads want, for limit_ms and the time the
  // process was starved meanwhile.
  testing::AssertionResult WaitPoll(uint8_t mac, uint16_t want, int limit_ms = 5000) {
    return Within([&] { return lib_.DNM_CheckPollConnectionStatus(0, 0, mac) == want; }, limit_ms);
  }

  template <typename Done>
  testing::AssertionResult Within(Done done, int limit_ms) {
    const auto start = Clock::now();
    if (Eventually(done, limit_ms, starved_)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << starved_.Says(Clock::now() - start, limit_ms);
  }

  // Waits until the slave at index i has heard count releases of its set.
  testing::AssertionResult Releases(size_t i, size_t count, int limit_ms) {
    const uint32_t id = 0x406u + 8u * settings_.at(i)->mac;
    return Within([&] { return Slave(i).HeardWith(id, 0x4C).size() >= count; }, limit_ms);
  }

  std::vector<uint8_t> Read(uint8_t mac) { return ReadInputs(lib_.DNM_ReadPollInputData, mac); }

  Responder& Slave(size_t i) { return *slaves_.at(i); }

  // Waits until the master has sent the frame; false after 5 s.
  bool Sent(const std::string& frame) {
    for (int i = 0; i < 250; ++i, std::this_thread::sleep_for(milliseconds(20))) {
      for (const HeardFrame& f : Slave(0).Heard())
        if (FrameText(f.msg) == frame) return true;
    }
    return false;
  }

  StarvationWatch starved_;
  std::vector<std::shared_ptr<IoSlaveSettings>> settings_;
  std::vector<std::unique_ptr<Responder>> slaves_;
};

TEST_F(Polling, OutputsGoInFragmentsByTheirSizeAndInputsComeBackWhole) {
  const struct {
    uint8_t mac;
    int size;
    size_t frames;
  } cases[] = {{5, 8, 1}, {6, 9, 2}, {7, 15, 3}, {8, 64, 10}};
  for (const auto& c : cases) Poll(c.mac, c.size, c.size);
  for (const auto& c : cases) {
    ASSERT_TRUE(WaitPoll(c.mac, 0)) << c.size;
    std::vector<uint8_t> output(static_cast<size_t>(c.size));
    for (size_t i = 0; i < output.size(); ++i) output[i] = static_cast<uint8_t>(0x80 + i);
    ASSERT_EQ(lib_.DNM_WritePollOutputData(0, 0, c.mac, output.data(), uint32_t(c.size)), 0);
  }
  std::this_thread::sleep_for(milliseconds(400));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(Read(c.mac), IoInput(0x10, size_t(c.size))) << c.size;
    const uint32_t achieved = lib_.DNM_GetPollPeriodAchieved(0, 0, c.mac);  // 100 ms asked
    EXPECT_TRUE(achieved >= 100 && achieved < 1000u + uint32_t(starved_.ms()))
        << c.size << ": " << starved_.Says(milliseconds(achieved), 100);
    const auto heard = Slave(i).HeardWith(0x405u + c.mac * 8u);
    ASSERT_GE(heard.size(), 2 * c.frames);
    const CANMsg& last = heard.back().msg;
    const CANMsg& first = heard[heard.size() - c.frames].msg;
    if (c.frames == 1) {
      EXPECT_EQ(FrameText(last), "42D#8081828384858687");
      continue;
    }
    EXPECT_EQ(first.data[0], 0x00) << c.size;
    EXPECT_EQ(first.data[1], 0x80) << c.size;
    EXPECT_EQ(last.data[0], 0x80 + c.frames - 1) << c.size;
    EXPECT_EQ(last.len, 1 + (c.size - 7 * int(c.frames - 1))) << c.size;
    EXPECT_EQ(last.data[last.len - 1], 0x80 + c.size - 1) << c.size;
  }
}

TEST_F(Polling, WrongLengthIsCountedAndKeepsTheLastGoodInput) {
  IoSlaveSettings& slave = Poll(5, 5, 2);
  ASSERT_TRUE(WaitPoll(5, 0));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(Read(5), IoInput(0x10, 5));
  slave.first_input = 0x20;
  slave.produced = 4;
  EXPECT_TRUE(Within([&] { return lib_.DNM_GetPollErrorResponse(0, 0, 5) >= 3; }, 600));
  EXPECT_EQ(lib_.DNM_CheckPollConnectionStatus(0, 0, 5), 0);
  EXPECT_EQ(Read(5), IoInput(0x10, 5));
  EXPECT_EQ(lib_.DNM_GetPollNoResponse(0, 0, 5), 0u);
  // After a streak of wrong answers, the first missing one loses the
  // connection: the slave is not polled in vain with status 0.
  const size_t releases_before = Slave(0).HeardWith(0x42E, 0x4C).size();
  slave.io_silent = true;
  EXPECT_TRUE(Releases(0, releases_before + 1, 7000));
  EXPECT_EQ(lib_.DNM_GetPollNoResponse(0, 0, 5), 1u);
}

// Three silent devices, each lost through its two missed answers about 10 s
// after the last: one silent on its I/O only; one whose wait a node's stray
// frames on its answer identifier try to keep open; and one silent
// altogether, whose explicit connection is noticed lost first. Each counts
// both misses and tells the loss; the first two stand again once their slaves
// answer, and the counters outlive the loss.
TEST_F(Polling, TwoMissingAnswersLoseTheConnectionAndCountersOutliveIt) {
  IoSlaveSettings& io_silent = Poll(5, 2, 2);
  IoSlaveSettings& strayed = Poll(6, 9, 2);
  Poll(7, 2, 2);
  for (const uint8_t mac : {5, 6, 7}) ASSERT_TRUE(WaitPoll(mac, 0)) << int(mac);
  const size_t releases_before = Slave(0).HeardWith(0x42E, 0x4C).size();
  io_silent.io_silent = strayed.io_silent = true;
  Slave(2).SetScript([](const CANMsg&) { return std::vector<CANMsg>{}; });
  const auto start = Clock::now();
  std::atomic<bool> straying{true};
  std::thread strays([&] {
    for (int i = 0; straying; ++i, std::this_thread::sleep_for(milliseconds(50)))
      if (i % 20 == 0) Slave(1).Send(MakeFrame(0x3C6, {0x55, 1, 2, 3}));
  });
  const auto counted = [&](uint8_t mac) { return lib_.DNM_GetPollNoResponse(0, 0, mac); };
  const testing::AssertionResult all_lost =
      Within([&] { return counted(5) >= 2 && counted(6) >= 2 && counted(7) >= 2; }, 13000);
  const auto took = Clock::now() - start;
  straying = false;
  strays.join();
  EXPECT_TRUE(all_lost);
  EXPECT_GT(took, milliseconds(9500));  // two 5000 ms waits
  for (const uint8_t mac : {5, 6, 7}) {
    EXPECT_EQ(counted(mac), 2u) << int(mac);
    DNM_SetupFailure lost{};
    EXPECT_TRUE(Within(
        [&] {
          return lib_.DNM_GetSetupFailure(0, 0, mac, DNM_ConnectionPoll, &lost) == 0 &&
                 lost.cause == DNM_SetupLost;
        },
        1000))
        << int(mac) << " cause " << lost.cause;
    EXPECT_EQ(lost.missed_answers, 2) << int(mac);
  }
  ASSERT_TRUE(Releases(0, releases_before + 1, 2000));
  EXPECT_EQ(lib_.DNM_GetPollPeriodAchieved(0, 0, 5), 0u);  // was about 5 s before the loss
  EXPECT_TRUE(lib_.HasLine("Poll No Response!!!!!!!!!!!!!!!!!!!!!!!!!!!"));
  io_silent.io_silent = strayed.io_silent = false;
  EXPECT_TRUE(WaitPoll(5, 0, 8000));
  EXPECT_TRUE(WaitPoll(6, 0, 8000));
  std::this_thread::sleep_for(milliseconds(300));
  for (const uint8_t mac : {5, 6, 7}) EXPECT_EQ(counted(mac), 2u) << int(mac);
  DNM_SetupFailure stands{};
  ASSERT_EQ(lib_.DNM_GetSetupFailure(0, 0, 5, DNM_ConnectionPoll, &stands), 0);
  EXPECT_EQ(stands.cause, DNM_SetupNoFailure);  // it stands again
  // A stop and a start keep the counters.
  ASSERT_EQ(lib_.DNM_StopDevice(0, 0, 5), 0);
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, 5), 0);
  EXPECT_GE(counted(5), 2u);
}

// An answer awaited with 4 bytes when the input size becomes 9, flooded with
// 2000 fragments that would run past any input area: the answer keeps its 4
// bytes, the next ones take 9, and the connection goes on.
TEST_F(Polling, ResizedWhileAnAnswerIsAwaitedAndFlooded) {
  IoSlaveSettings& slave = Poll(5, 4, 2);
  ASSERT_TRUE(WaitPoll(5, 0));
  slave.io_silent = true;
  std::this_thread::sleep_for(milliseconds(300));
  slave.produced = 9;
  ASSERT_EQ(lib_.DNM_ConfigPoll(0, 0, 5, 9, 2, 2500, 0), 0);
  Slave(0).Send(MakeFrame(0x3C5, {0x00, 1, 2, 3, 4, 5, 6, 7}));
  for (int n = 1; n <= 2000; ++n)
    Slave(0).Send(MakeFrame(0x3C5, {uint8_t(0x40 | (n & 0x3F)), 1, 2, 3, 4, 5, 6, 7}));
  slave.io_silent = false;
  EXPECT_TRUE(Within(
      [&] {
        uint8_t data[64] = {};
        uint32_t length = 0;
        return lib_.DNM_ReadPollInputData(0, 0, 5, data, &length) == 0 &&
               std::vector<uint8_t>(data, data + length) == IoInput(0x10, 9);
      },
      12000));
  EXPECT_GE(lib_.DNM_GetPollErrorResponse(0, 0, 5), 1u);  // the first frame, to the 4-byte wait
  // Workers end through whatever a write past the area would have spoilt.
  EXPECT_EQ(lib_.DNM_CloseBoard(0), 0);
}

// The board closes while a worker waits for an answer that will not come.
TEST_F(Polling, ClosingTheBoardDuringAPollIsPrompt) {
  Poll(5, 2, 2).io_silent = true;
  Poll(6, 9, 2);
  ASSERT_TRUE(WaitPoll(6, 0));
  std::this_thread::sleep_for(milliseconds(1500));
  const int starved_before = starved_.ms();
  const auto start = Clock::now();
  ASSERT_EQ(lib_.DNM_CloseBoard(0), 0);
  const auto took = Clock::now() - start;
  EXPECT_LT(took, milliseconds(2000 + starved_.ms() - starved_before)) << starved_.Says(took, 2000);
}

// Each cause DNM_GetSetupFailure tells, with the device that brings it about.
TEST_F(Polling, SetUpFailuresAreReportedWithTheirCause) {
  Poll(5, 2, 2).report_produced = 3;
  Poll(6, 2, 2).report_consumed = 260;  // compared by its low byte: 4
  Poll(7, 2, 2, true).refuse_allocation = true;
  Poll(8, 2, 2);
  ASSERT_EQ(lib_.DNM_AddDevice(0, 0, 9, 0), 0);  // no slave answers at 9
  ASSERT_EQ(lib_.DNM_ConfigPoll(0, 0, 9, 2, 2, 2500, 0), 0);
  ASSERT_EQ(lib_.DNM_StartDevice(0, 0, 9), 0);
  EXPECT_TRUE(WaitPoll(5, DNM_PollStatus1));
  // The mismatch released the whole set: the explicit connection is down with it (for the
  // second before the next pass; a starved test could see that pass stand it up again).
  EXPECT_NE(lib_.DNM_CheckExplicitMsgConnectionStatus(0, 0, 5), 0);
  EXPECT_TRUE(WaitPoll(6, DNM_PollStatus2));
  EXPECT_TRUE(WaitPoll(7, 3));
  EXPECT_TRUE(lib_.HasLine("Poll_Thread( ) Get Consumed_Connection_Size is 4"));
  ASSERT_TRUE(WaitPoll(8, 0));
  const auto failure = [&](uint8_t mac, uint8_t kind) {
    DNM_SetupFailure got{};
    EXPECT_EQ(lib_.DNM_GetSetupFailure(0, 0, mac, kind, &got), 0);
    return std::vector<int>{got.cause,           got.request,        got.device_size,
                            got.configured_size, got.general_status, got.additional_status,
                            got.missed_answers};
  };
  Eventually([&] { return failure(9, DNM_ConnectionExplicit)[0] != 0; }, 8000, 50);
  ASSERT_EQ(lib_.DNM_StopDevice(0, 0, 8), 0);
  const struct {
    uint8_t mac, kind;
    std::vector<int> want;  // cause, request, sizes, statuses, missed answers
  } cases[] = {
      {5, DNM_ConnectionPoll, {DNM_SetupProducedSizeMismatch, 0, 3, 2, 0, 0, 0}},
      {6, DNM_ConnectionPoll, {DNM_SetupConsumedSizeMismatch, 0, 4, 2, 0, 0, 0}},
      {7, DNM_ConnectionPoll, {DNM_SetupRefused, DNM_SetupRequestAllocate, 0, 0, 0x02, 0xFF, 0}},
      {9, DNM_ConnectionExplicit, {DNM_SetupNoAnswer, DNM_SetupRequestAllocate, 0, 0, 0, 0, 0}},
      {9, DNM_ConnectionPoll, {DNM_SetupNoFailure, 0, 0, 0, 0, 0, 0}},  // never tried
      {5, DNM_ConnectionExplicit, {DNM_SetupNoFailure, 0, 0, 0, 0, 0, 0}},
      {8, DNM_ConnectionPoll, {DNM_SetupStopped, 0, 0, 0, 0, 0, 0}},
      {8, DNM_ConnectionExplicit, {DNM_SetupStopped, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(failure(c.mac, c.kind), c.want) << "MAC ID " << int(c.mac) << " kind " << int(c.kind);
  DNM_SetupFailure got{};
  EXPECT_EQ(lib_.DNM_GetSetupFailure(0, 0, 5, 4, &got), DNM_ConnectionKindError);
  EXPECT_EQ(lib_.DNM_GetSetupFailure(0, 0, 5, DNM_ConnectionBitStrobe, &got),
            DNM_BitStrobeNotConfigure);
  EXPECT_EQ(lib_.DNM_GetSetupFailure(0, 0, 5, DNM_ConnectionPoll, nullptr), DNM_NullPointerError);
  EXPECT_EQ(lib_.DNM_GetSetupFailure(0, 0, 40, DNM_ConnectionPoll, &got), DNM_DeviceNotInScanList);
}

TEST_F(Polling, ApplicationCallsAroundTheConnection) {
  uint8_t data[64] = {};
  uint32_t length = 0;
  ASSERT_EQ(lib_.DNM_AddDevice(0, 0, 9, 0), 0);
  EXPECT_EQ(lib_.DNM_ConfigPoll(0, 0, 9, 65, 2, 2500, 0), DNM_IOSizeTooLarge);
  EXPECT_EQ(lib_.DNM_CheckPollConnectionStatus(0, 0, 9), DNM_PollNotConfigure);
  ASSERT_EQ(lib_.DNM_ConfigPoll(0, 0, 9, 2, 2, 2500, 0), 0);
  EXPECT_EQ(lib_.DNM_ReadPollInputData(0, 0, 9, data, &length), DNM_DeviceIsUnConnected);
  EXPECT_EQ(lib_.DNM_WritePollOutputData(0, 0, 9, data, 2), DNM_DeviceIsUnConnected);
  EXPECT_EQ(lib_.DNM_CheckPollConnectionStatus(0, 0, 9), DNM_ExplicitConnectionDown);

  Poll(5, 2, 3);
  Poll(6, 2, 2, true, 0x0064);      // a UCMM device gets the rate's high byte as 1 to 3
  Poll(7, 2, 2, false, 200, true);  // cyclic: the rate whole, on either route
  Poll(8, 2, 2, true, 2500, true);
  ASSERT_TRUE(WaitPoll(5, 0));
  for (const char* rate : {"600#46100502096401", "43C#4010050409C800", "600#4810050409C409"})
    EXPECT_TRUE(Sent(rate)) << rate;
  EXPECT_EQ(FrameText(Slave(0).HeardWith(0x42C, 0x10).back().msg), "42C#4010050209C409");
  EXPECT_EQ(lib_.DNM_WritePollOutputData(0, 0, 5, data, 4), DNM_WritePollOutputDataLengthError);
  EXPECT_EQ(lib_.DNM_ConfigPoll(0, 0, 5, 2, 3, 2500, 0), 0);
  EXPECT_TRUE(
      lib_.HasLine("ConfigPoll()   Error!MAC ID 5 Poll Connection has been configured before"));

  const struct {
    uint16_t frequency;
    uint32_t obtained;
  } periods[] = {{10, 10}, {3, 3}, {7, 7}, {600, 1000}, {2000, 1000}, {1, 1}, {0, 0}};
  for (const auto& p : periods) {
    EXPECT_EQ(lib_.DNM_SetPollFrequency(p.frequency), p.obtained) << p.frequency;
    EXPECT_EQ(lib_.DNM_SetBitStrobeFrequency(p.frequency), p.obtained) << p.frequency;
  }
  EXPECT_EQ(lib_.DNM_GetPollNoResponse(0, 0, 40), 0u);  // no such device
  EXPECT_EQ(lib_.DNM_GetPollNoResponse(7, 0, 5), 0u);   // no such board
  EXPECT_EQ(lib_.DNM_GetPollPeriodAchieved(0, 0, 40), 0u);
  EXPECT_EQ(lib_.DNM_GetPollPeriodAchieved(0, 0, 7), 0u);  // cyclic, no poll
}

}  // namespace
}  // namespace dnm::test
