// Exports that read a device's error counters. They make no checks aloud:
// a board, port or MAC ID that names no device reads 0.
#include <memory>
#include <shared_mutex>

#include "VELKCANDNM.h"
#include "api/Board.h"
#include "api/Library.h"
#include "device/Device_Info.h"
#include "port/CANPort.h"

using namespace dnm;

namespace {

uint32_t ReadCounter(uint8_t board, uint8_t port, uint8_t mac, ErrorCounter which) {
  Library& lib = Lib();
  if (board >= lib.board_count.load() || board >= kMaxBoards || port >= kPortsPerBoard ||
      mac > kMaxMacId) {
    return 0;
  }
  std::shared_lock lifecycle(lib.lifecycle[board]);
  if (lib.board_active[board] == 0) return 0;
  const std::shared_ptr<Device_Info> device = lib.boards[board]->port(port).LeaseDevice(mac);
  return device ? device->counter(which) : 0;
}

}  // namespace

extern "C" {

DNM_EXPORT uint32_t DNM_CALL DNM_GetExplicitMsgNoResponse(uint8_t board, uint8_t port,
                                                          uint8_t mac) {
  return ReadCounter(board, port, mac, kExplicitMsgNoResponse);
}

DNM_EXPORT uint32_t DNM_CALL DNM_GetExplicitMsgErrorResponse(uint8_t board, uint8_t port,
                                                             uint8_t mac) {
  return ReadCounter(board, port, mac, kExplicitMsgErrorResponse);
}

}  // extern "C"
