// Exports for the library itself and whole boards.
#include <mutex>

#include "VELKCANDNM.h"
#include "api/Board.h"
#include "api/Library.h"
#include "device/Device_Info.h"
#include "device/ScanList.h"
#include "driver/Driver.h"
#include "netmgmt/ReleaseSets.h"
#include "port/CANPort.h"
#include "trace/ErrorCodes.h"
#include "trace/Trace.h"

using namespace dnm;

namespace {

bool BoardInRange(uint8_t board) {
  return static_cast<int>(board) <= static_cast<int>(Lib().board_count.load()) - 1;
}

// The slaves are released first, while the ports are still on the bus, and
// the workers end before the turns are given back: nothing allocates again.
// A request in progress is not waited for: its worker is about to end.
void ReleaseAndEndWorkers(CANPort& port) {
  ReleasedSets released(port, 0);
  released.Release();
  for (uint8_t mac = 0; mac < 64; ++mac) {
    if (Device_Info* device = port.device(mac)) device->EndWorkers();
  }
}

// Takes every device of the board apart and stops the ports' threads, in the
// order the board's teardown requires.
void DismantlePorts(Board& board) {
  for (uint8_t p = 0; p < kPortsPerBoard; ++p) ReleaseAndEndWorkers(board.port(p));
  for (uint8_t p = 0; p < kPortsPerBoard; ++p) DismantleDevices(board.port(p));
  for (uint8_t p = 0; p < kPortsPerBoard; ++p) RemoveAllDevices(board.port(p));
  for (uint8_t p = 0; p < kPortsPerBoard; ++p) board.port(p).CloseReceiveThreads();
}

}  // namespace

extern "C" {

DNM_EXPORT float DNM_CALL DNM_GetVersion(void) {
  return 1.1f;
}

// Reads only a constant table, so it needs no board and no lock.
DNM_EXPORT const char* DNM_CALL DNM_GetErrorText(uint16_t code) {
  return ErrorText(code);
}

DNM_EXPORT int32_t DNM_CALL DNM_TotalBoard(void) {
  return driver::TotalBoard();
}

DNM_EXPORT int32_t DNM_CALL DNM_GetBoardInf(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4,
                                            uint32_t a5, uint32_t a6, uint32_t a7) {
  return driver::GetBoardInf(a1, a2, a3, a4, a5, a6, a7);
}

DNM_EXPORT uint32_t DNM_CALL CAN_GetSystemFreq(int32_t board) {
  return driver::GetSystemFreq(board);
}

DNM_EXPORT uint16_t DNM_CALL DNM_ActiveBoard(uint8_t board) {
  if (!BoardInRange(board)) {
    Trace("DNM_ActiveBoard()   Error!Board %d is out of range", board);
    return DNM_BoardNumberError;
  }
  Library& lib = Lib();
  // An active board is refused at once, not after the calls running on it:
  // the calls that find the board's lock wanted then meet a board that is
  // being activated or closed, never one that stays active.
  std::unique_lock lifecycle(lib.lifecycle[board], std::defer_lock);
  if (lib.board_active[board] == 0) lifecycle.lock();
  if (lib.board_active[board] == 1) {
    Trace("DNM_ActiveBoard()   Error!Board %d is already Active!", board);
    return DNM_BoardAlreadyActive;
  }
  // The record is made only for a board the driver accepted, so a refused
  // activation leaves nothing behind (making it writes no trace line).
  const int32_t result = driver::ActiveBoard(board);
  TraceCANResult("DNM_ActiveBoard( ) ", "API_CAN_ActiveBoard( )", result);
  if (result == 0) {
    lib.boards[board] = std::make_unique<Board>(board);
    lib.board_active[board] = 1;
    return DNM_NoError;
  }
  return TraceCANResult("DNM_ActiveBoard( ) ", "API_CAN_ActiveBoard( ) ", result);
}

DNM_EXPORT uint16_t DNM_CALL DNM_CloseBoard(uint8_t board) {
  if (!BoardInRange(board)) {
    Trace("DNM_CloseBoard( )   Error!Board %d is out of range", board);
    return DNM_BoardNumberError;
  }
  Library& lib = Lib();
  std::unique_lock lifecycle(lib.lifecycle[board]);
  if (lib.board_active[board] == 0) {
    Trace("DNM_CloseBoard( )   Error!Board %d is already Close!", board);
    return DNM_BoardAlreadyClose;
  }
  DismantlePorts(*lib.boards[board]);
  lib.boards[board].reset();
  lib.board_active[board] = 0;
  const int32_t result = driver::CloseBoard(board);
  if (result == 0) {
    Trace("DNM_CloseBoard( )   %s , CloseBoard=%d", "Successfully!", board);
    return DNM_NoError;
  }
  return TraceCANResult("DNM_CloseBoard( ) ", "API_CAN_CloseBoard( ) ", result);
}

}  // extern "C"
