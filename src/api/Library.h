// Library-wide state: the board table, the board flags and the per-port
// locks. It is made once at start-up and never destroyed, so threads that
// still run while the process exits never touch a destroyed object.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/SharedMutex.h"

namespace dnm {

class Board;

constexpr uint8_t kMaxBoards = 8;
constexpr uint8_t kPortsPerBoard = 4;
constexpr uint8_t kMaxMacId = 63;

struct Library {
  std::atomic<uint8_t> board_count{0};
  std::array<std::atomic<uint8_t>, kMaxBoards> board_active{};
  // Each entry is read under its board's lifecycle lock (shared) and
  // replaced only under it (exclusive): activation and closing of a board
  // wait for the calls running on it.
  std::array<std::unique_ptr<Board>, kMaxBoards> boards;
  std::array<platform::SharedMutex, kMaxBoards> lifecycle;
  std::array<std::mutex, kMaxBoards * kPortsPerBoard> send_lock;
  std::array<std::mutex, kMaxBoards * kPortsPerBoard> receive_lock;
};

Library& Lib();

// Held by every sender of a frame on the port, one frame per hold.
std::mutex& SendLock(uint8_t board, uint8_t port);
// Held by a receive thread of the port while it takes frames from the driver.
std::mutex& ReceiveLock(uint8_t board, uint8_t port);

// Start-up: binds the trace library and the driver, reads the board count.
void DeviceNet_Initial();

}  // namespace dnm
