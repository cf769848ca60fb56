// Helpers shared by the virtual card's tests. Each test runs in a process of its own (ctest runs
// every case separately), because the card is built once per process at its first call.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "VELKCAN.h"
#include "vcan_test.h"

namespace vcan_test {

inline constexpr uint8_t kSelector500k = 6;
inline constexpr uint8_t kSelector250k = 5;
inline constexpr uint8_t kSelector125k = 4;

// Builds this process's card from the description text (empty: no file, the default card).
// Use with ASSERT_NO_FATAL_FAILURE before any other call into the card.
void StartCard(const std::string& description);

// A file in the test's temporary directory, unique to this process.
std::string TempPath(const std::string& name);
std::string WriteTempFile(const std::string& name, const std::string& content);
std::string ReadFile(const std::string& path);

CANMsg MakeFrame(uint32_t id, std::initializer_list<uint8_t> data);
CANConfig AcceptAllConfig(uint8_t selector = kSelector500k);

// Activates the board and puts the port on the bus at the given rate, accepting every frame.
void BringOnline(int32_t board, int32_t port, uint8_t selector = kSelector500k);

// Waits for a frame at a driver port (through CAN_WaitRxMsg) or a test node and takes it.
std::optional<CANMsg> ReceiveAtPort(int32_t board, int32_t port, uint32_t timeout_ms = 3000);
std::optional<CANMsg> ReceiveAtNode(int32_t node, uint32_t timeout_ms = 3000);

uint64_t StampOf(const CANMsg& msg);
uint64_t MonotonicMicros();
std::vector<uint8_t> DataOf(const CANMsg& msg);

}  // namespace vcan_test
