#include "api/Library.h"

#include "api/Board.h"
#include "driver/Driver.h"
#include "trace/Trace.h"

namespace dnm {

Library& Lib() {
  static Library* library = new Library;
  return *library;
}

std::mutex& SendLock(uint8_t board, uint8_t port) {
  return Lib().send_lock[board * kPortsPerBoard + port];
}

std::mutex& ReceiveLock(uint8_t board, uint8_t port) {
  return Lib().receive_lock[board * kPortsPerBoard + port];
}

void DeviceNet_Initial() {
  BindHyperTrace();
  const int bound = driver::BindDriver();
  Trace("DeviceNet_Initial( )   Load_API_TORVEK=%d", bound);
  Library& lib = Lib();
  for (auto& active : lib.board_active) active = 0;
  // A driver that could not be bound reports no boards; more than the
  // tables hold are not served.
  const uint8_t reported = bound == 0 ? static_cast<uint8_t>(driver::TotalBoard()) : 0;
  lib.board_count = reported < kMaxBoards ? reported : kMaxBoards;
  Trace("DeviceNet_Initial( )   Initial OK");
}

}  // namespace dnm
