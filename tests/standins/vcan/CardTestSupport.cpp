#include "CardTestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace vcan_test {

void StartCard(const std::string& description) {
  if (description.empty()) {
    unsetenv("VELKCAN_NETWORK");
  } else {
    setenv("VELKCAN_NETWORK", WriteTempFile("network.txt", description).c_str(), 1);
  }
  const char* expected = std::getenv("VELKCAN_NETWORK");
  ASSERT_STREQ(VCAN_NetworkPath(), expected != nullptr ? expected : "")
      << "the card was built earlier in this process; run each test in a process of its own";
}

std::string TempPath(const std::string& name) {
  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  return testing::TempDir() + "vcan_" + test->test_suite_name() + "_" + test->name() + "_" +
         std::to_string(getpid()) + "_" + name;
}

std::string WriteTempFile(const std::string& name, const std::string& content) {
  const std::string path = TempPath(name);
  std::ofstream(path) << content;
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

CANMsg MakeFrame(uint32_t id, std::initializer_list<uint8_t> data) {
  CANMsg msg{};
  msg.id = id;
  msg.len = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), msg.data);
  return msg;
}

CANConfig AcceptAllConfig(uint8_t selector) {
  return CANConfig{{0, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF}, selector, 0, 0x1C};
}

void BringOnline(int32_t board, int32_t port, uint8_t selector) {
  ASSERT_EQ(CAN_ActiveBoard(board), CAN_NoError);
  ASSERT_EQ(CAN_Reset(board, port), CAN_NoError);
  ASSERT_EQ(CAN_Init(board, port), CAN_NoError);
  const CANConfig config = AcceptAllConfig(selector);
  ASSERT_EQ(CAN_Config(board, port, &config), CAN_NoError);
}

std::optional<CANMsg> ReceiveAtPort(int32_t board, int32_t port, uint32_t timeout_ms) {
  if (CAN_WaitRxMsg(board, port, timeout_ms) <= 0) return std::nullopt;
  CANMsg msg{};
  if (CAN_ReceiveMsg(board, port, &msg) != CAN_NoError) return std::nullopt;
  return msg;
}

std::optional<CANMsg> ReceiveAtNode(int32_t node, uint32_t timeout_ms) {
  CANMsg msg{};
  if (VCAN_NodeReceive(node, &msg, timeout_ms) != CAN_NoError) return std::nullopt;
  return msg;
}

uint64_t StampOf(const CANMsg& msg) {
  uint64_t stamp = 0;
  for (int i = 7; i >= 0; --i) stamp = (stamp << 8) | msg.stamp[i];
  return stamp;
}

uint64_t MonotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000u +
         static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

std::vector<uint8_t> DataOf(const CANMsg& msg) {
  return {msg.data, msg.data + msg.len};
}

}  // namespace vcan_test
