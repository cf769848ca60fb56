// A slave device played by a test node: it establishes its explicit
// connection (group 2 or UCMM), answers the library's set-up requests for
// its poll and bit-strobe connections with the sizes it is told to report,
// and answers poll and bit-strobe commands as told.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "Responder.h"

namespace dnm::test {

struct IoSlaveSettings {
  uint8_t mac = 5;
  bool ucmm = false;
  std::atomic<int> produced{2};          // poll input bytes it sends
  std::atomic<int> consumed{2};          // poll output bytes it takes
  std::atomic<int> report_produced{-1};  // reported instead of produced, -1 none
  std::atomic<int> report_consumed{-1};
  std::atomic<int> strobe_produced{2};
  std::atomic<bool> io_silent{false};
  std::atomic<bool> refuse_allocation{false};
  std::atomic<uint8_t> first_input{0x10};  // byte 0 of every input, the rest count up
};

Responder::Script IoSlave(std::shared_ptr<IoSlaveSettings> settings);

// The input a slave with first byte `first` sends in `length` bytes.
std::vector<uint8_t> IoInput(uint8_t first, size_t length);

// The inputs one of the library's reads (DNM_ReadPollInputData, ...) gives for the device on
// port 0 of board 0, which it must give.
template <typename Read>
std::vector<uint8_t> ReadInputs(Read read, uint8_t mac) {
  uint8_t data[64] = {};
  uint32_t length = 0;
  EXPECT_EQ(read(0, 0, mac, data, &length), 0);
  return std::vector<uint8_t>(data, data + length);
}

}  // namespace dnm::test
