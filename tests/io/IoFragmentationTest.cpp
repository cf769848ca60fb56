// Putting I/O messages together again from their fragments: what is refused.
#include <gtest/gtest.h>

#include <vector>

#include "VirtualCard.h"
#include "io/IoFragmentation.h"

namespace dnm {
namespace {

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

}  // namespace
}  // namespace dnm
