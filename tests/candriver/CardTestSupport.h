// Helpers shared by the virtual card's tests. Each test runs in a process of its own (ctest runs
// every case separately), because the card is built once per process at its first call.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "VELKCAN.h"
#include "vcan_test.h"

namespace vcan_test {

inline constexpr uint8_t kSelector500k = 6;
inline constexpr uint8_t kSelector250k = 5;
inline constexpr uint8_t kSelector125k = 4;

// A file in the test's temporary directory, unique to this process.
inline std::string TempPath(const std::string& name) {
  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string path = testing::TempDir() + "vcan_" + test->test_suite_name() + "_" + test->name() +
                     "_" + std::to_string(getpid()) + "_" + name;
  std::replace(path.begin() + testing::TempDir().size(), path.end(), '/', '_');  // TEST_P names
  std::remove(path.c_str());  // a process id comes again in a later run on the same machine
  return path;
}
inline std::string WriteTempFile(const std::string& name, const std::string& content) {
  const std::string path = TempPath(name);
  std::ofstream(path) << content;
  return path;
}
inline std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// The lines of network.txt that the card's messages name ("network.txt:LINE: ...").
inline std::set<int> ReportedLines(const std::string& messages) {
  const std::regex report(R"(network\.txt:(\d+):)");
  std::set<int> lines;
  for (std::sregex_iterator it(messages.begin(), messages.end(), report), end; it != end; ++it)
    lines.insert(std::stoi((*it)[1]));
  return lines;
}

// Builds this process's card from the description text (empty: no file, the default card).
// Use with ASSERT_NO_FATAL_FAILURE before any other call into the card.
inline void StartCard(const std::string& description) {
  if (description.empty()) {
    unsetenv("VELKCAN_NETWORK");
  } else {
    setenv("VELKCAN_NETWORK", WriteTempFile("network.txt", description).c_str(), 1);
  }
  const char* expected = std::getenv("VELKCAN_NETWORK");
  ASSERT_STREQ(VCAN_NetworkPath(), expected != nullptr ? expected : "")
      << "the card was built earlier in this process; run each test in a process of its own";
}

inline CANMsg MakeFrame(uint32_t id, const std::vector<uint8_t>& data) {
  CANMsg msg{};
  msg.id = id;
  msg.len = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), msg.data);
  return msg;
}

inline CANConfig AcceptAllConfig(uint8_t selector = kSelector500k) {
  return CANConfig{{0, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF}, selector, 0, 0x1C};
}

// Activates the board and puts the port on the bus at the given rate, accepting every frame.
inline void BringOnline(int32_t board, int32_t port, uint8_t selector = kSelector500k) {
  ASSERT_EQ(CAN_ActiveBoard(board), CAN_NoError);
  ASSERT_EQ(CAN_Reset(board, port), CAN_NoError);
  ASSERT_EQ(CAN_Init(board, port), CAN_NoError);
  const CANConfig config = AcceptAllConfig(selector);
  ASSERT_EQ(CAN_Config(board, port, &config), CAN_NoError);
}

// Builds the card (StartCard) and puts port 1 of board 0 (or the given port) on the bus.
inline void StartOnline(const std::string& description, int32_t port = 1,
                        uint8_t selector = kSelector500k) {
  ASSERT_NO_FATAL_FAILURE(StartCard(description));
  BringOnline(0, port, selector);
}

// Waits for a frame at a driver port (through CAN_WaitRxMsg) or a test node and takes it.
inline std::optional<CANMsg> ReceiveAtPort(int32_t board, int32_t port,
                                           uint32_t timeout_ms = 3000) {
  CANMsg msg{};
  if (CAN_WaitRxMsg(board, port, timeout_ms) <= 0 ||
      CAN_ReceiveMsg(board, port, &msg) != CAN_NoError)
    return std::nullopt;
  return msg;
}
inline std::optional<CANMsg> ReceiveAtNode(int32_t node, uint32_t timeout_ms = 3000) {
  CANMsg msg{};
  if (VCAN_NodeReceive(node, &msg, timeout_ms) != CAN_NoError) return std::nullopt;
  return msg;
}

// The card's records of a port and a segment, by the driver's numbering.
inline VCAN_PortStats PortStats(int32_t board, int32_t port) {
  VCAN_PortStats stats{};
  EXPECT_EQ(VCAN_GetPortStats(board, port, &stats), 0);
  return stats;
}
inline VCAN_SegmentStats SegmentStats(int32_t board, int32_t port) {
  VCAN_SegmentStats stats{};
  EXPECT_EQ(VCAN_GetSegmentStats(board, port, &stats), 0);
  return stats;
}
inline std::string SegmentOf(int32_t board, int32_t port) {
  char name[64] = {};
  EXPECT_GT(VCAN_SegmentName(board, port, name, sizeof name), 0);
  return name;
}

inline uint64_t StampOf(const CANMsg& msg) {
  uint64_t stamp = 0;
  for (int i = 7; i >= 0; --i) stamp = (stamp << 8) | msg.stamp[i];
  return stamp;
}
inline uint64_t MonotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000u +
         static_cast<uint64_t>(now.tv_nsec) / 1000u;
}
inline std::vector<uint8_t> DataOf(const CANMsg& msg) {
  return {msg.data, msg.data + msg.len};
}

}  // namespace vcan_test
