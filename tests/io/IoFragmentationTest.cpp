// Putting I/O messages together again from their fragments, and the answer
// a poll awaits: what completes, what is refused, and what moves its wait.
#include <gtest/gtest.h>

#include <vector>

#include "VELKCANDNM.h"
#include "VirtualCard.h"
#include "io/IoFragmentation.h"
#include "io/PollAnswer.h"

namespace dnm {
namespace {

std::vector<uint8_t> Message(size_t length) {
  std::vector<uint8_t> message(length);
  for (size_t i = 0; i < length; ++i) message[i] = static_cast<uint8_t>(0xA0 + i);
  return message;
}

// Each message length split as its sender splits it comes back whole, the
// last fragment completing it; a length never sent in fragments takes none.
TEST(IoFragmentation, WholeMessagesComeBackAndOtherLengthsTakeNothing) {
  for (const size_t length : {9u, 14u, 15u, 22u, 64u}) {
    const std::vector<uint8_t> message = Message(length);
    const IoFrames frames = SplitIoMessage(0x3C5, message.data(), length);
    IoReassembly reassembly(length);
    for (size_t i = 0; i < frames.count; ++i) {
      const bool last = i + 1 == frames.count;
      EXPECT_EQ(reassembly.Take(frames.frames[i]),
                last ? IoReassembly::Step::kDone : IoReassembly::Step::kMore)
          << length << " bytes, fragment " << i;
    }
    EXPECT_EQ(std::vector<uint8_t>(reassembly.message(), reassembly.message() + length), message);
    EXPECT_EQ(reassembly.Take(frames.frames[frames.count - 1]), IoReassembly::Step::kError);
  }
  const std::vector<uint8_t> message = Message(64);
  const IoFrames frames = SplitIoMessage(0x3C5, message.data(), 64);
  for (const size_t length : {0u, 4u, 8u, 65u, 300u}) {
    IoReassembly reassembly(length);
    EXPECT_EQ(reassembly.Take(frames.frames[0]), IoReassembly::Step::kError) << length;
  }
}

// Each case: the fragments of a 15-byte message as they arrive; the last
// one given must be refused.
TEST(IoFragmentation, FaultySequencesAreRefused) {
  const std::vector<uint8_t> first = {0x00, 1, 2, 3, 4, 5, 6, 7};
  const std::vector<uint8_t> middle = {0x41, 8, 9, 10, 11, 12, 13, 14};
  const struct {
    const char* what;
    std::vector<std::vector<uint8_t>> fragments;
  } cases[] = {
      {"last where the first belongs", {{0x80, 1}}},
      {"short first fragment", {{0x00, 1, 2, 3}}},
      {"a new first fragment where a middle belongs", {first, {0x00, 1, 2, 3, 4, 5, 6, 7}}},
      {"middle with the wrong count", {first, {0x42, 8, 9, 10, 11, 12, 13, 14}}},
      {"short middle fragment", {first, {0x41, 8, 9}}},
      {"last fragment too short", {first, middle, {0x82}}},
      {"last fragment too long", {first, middle, {0x82, 15, 16}}},
      {"middle where the last belongs", {first, middle, {0x42, 15}}},
  };
  for (const auto& c : cases) {
    IoReassembly reassembly(15);
    IoReassembly::Step step = IoReassembly::Step::kMore;
    for (const auto& bytes : c.fragments) step = reassembly.Take(test::MakeFrame(0, bytes));
    EXPECT_EQ(step, IoReassembly::Step::kError) << c.what;
  }
}

// The frames of a flood: a first fragment, then middle fragments counting
// up as if the message went on for ever.
std::vector<CANMsg> Flood(size_t middles) {
  std::vector<CANMsg> frames = {test::MakeFrame(0x3C5, {0x00, 1, 2, 3, 4, 5, 6, 7})};
  for (size_t n = 1; n <= middles; ++n)
    frames.push_back(
        test::MakeFrame(0x3C5, {uint8_t(0x40 | (n & 0x3F)), 8, 9, 10, 11, 12, 13, 14}));
  return frames;
}

// An answer begun with 4 bytes keeps them while 2000 fragments come: the
// first frame is the wrong answer, and nothing after it is taken; one begun
// with 9 bytes refuses the first middle fragment where its last belongs.
TEST(PollAnswer, KeepsTheSizeItBeganWithThroughAFlood) {
  const struct {
    size_t length;
    uint16_t result;
  } cases[] = {{4, DNM_PollResponseDataError}, {9, DNM_PollFragmentError}};
  for (const auto& c : cases) {
    PollAnswer answer(c.length, 1000);
    std::vector<uint16_t> results;
    size_t taken = 0;
    for (const CANMsg& frame : Flood(2000)) {
      const PollAnswer::Step step = answer.Take(frame, 1001);
      taken += step.taken ? 1 : 0;
      if (step.outcome) results.push_back(step.outcome->result);
    }
    EXPECT_EQ(results, std::vector<uint16_t>{c.result}) << c.length;
    EXPECT_EQ(taken, c.length == 4 ? 1u : 2u) << c.length;
    EXPECT_EQ(answer.length(), c.length);
  }
  IoReassembly reassembly(4);
  for (const CANMsg& frame : Flood(2000))
    ASSERT_EQ(reassembly.Take(frame), IoReassembly::Step::kError);
}

// The wait runs 5000 ms from the poll or from the last fragment that
// continued the answer, judged by when each frame was received.
TEST(PollAnswer, OnlyItsOwnFragmentsMoveTheWait) {
  const CANMsg first = test::MakeFrame(0x3C5, {0x00, 1, 2, 3, 4, 5, 6, 7});
  const CANMsg last = test::MakeFrame(0x3C5, {0x81, 8, 9});
  const CANMsg stray = test::MakeFrame(0x3C5, {0x55, 1, 2});
  const struct {
    const char* what;
    std::vector<std::pair<CANMsg, uint32_t>> frames;  // each with when it was received
    uint16_t result;
    uint32_t at;
  } cases[] = {
      {"whole", {{first, 4000}, {last, 8999}}, 0, 8999},
      {"strays move nothing", {{stray, 3000}, {stray, 4900}, {stray, 4999}}, 1902, 5000},
      {"strays after a fragment", {{first, 2000}, {stray, 6000}, {stray, 6999}}, 1902, 7000},
      {"a fragment just in time: the wait runs on", {{first, 4999}}, 1902, 9999},
      {"received after the wait ran out", {{first, 5000}}, 1902, 5000},
  };
  for (const auto& c : cases) {
    PollAnswer answer(9, 0);
    std::optional<PollAnswer::Outcome> outcome;
    for (const auto& [frame, received] : c.frames) {
      if (!outcome) outcome = answer.Take(frame, received).outcome;
    }
    for (uint32_t now = 4999; !outcome && now < 20000; now += 1000) outcome = answer.Missed(now);
    ASSERT_TRUE(outcome) << c.what;
    EXPECT_EQ(outcome->result, c.result) << c.what;
    EXPECT_EQ(outcome->at, c.at) << c.what;
  }
  CANMsg stamped = first;
  const uint64_t micros = 123456789;  // tick 123456
  for (size_t i = 0; i < 8; ++i) stamped.stamp[i] = uint8_t(micros >> (8 * i));
  EXPECT_EQ(ReceivedTick(stamped, 123000, 130000), 123456u);
  EXPECT_EQ(ReceivedTick(stamped, 123500, 130000), 130000u);  // before the poll: not its clock
  EXPECT_EQ(ReceivedTick(stamped, 123000, 123400), 123400u);  // after now: not its clock
}

}  // namespace
}  // namespace dnm
