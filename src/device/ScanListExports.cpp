// Exports that add devices to a port's scan list, remove them, and list the
// MAC IDs that answer on the network.
#include <cstring>

#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "device/ScanList.h"
#include "netmgmt/ReleaseSets.h"
#include "netmgmt/StartStop.h"
#include "platform/Platform.h"
#include "port/CANPort.h"
#include "port/Identifiers.h"
#include "port/MapTable.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

using namespace dnm;

namespace {

// Sends a duplicate MAC ID check for every MAC ID and collects, within the
// check's own second after the last request, the MAC IDs whose node answered.
int CollectAnsweringMacIds(CANPort& port, uint8_t* list) {
  MapTable& map = port.map();
  MsgBuffer& buffer = port.port_buffer();
  std::lock_guard turn(port.port_buffer_turn());
  for (uint8_t mac = 0; mac < 64; ++mac)
    map.AddMap(DuplicateCheckId(mac), kPortBufferId, kPortBufferId);
  map.ShowMapTable();
  buffer.ClearBuffer();
  const uint8_t request[7] = {};
  for (uint8_t mac = 0; mac < 64; ++mac) port.SendLocked(DuplicateCheckId(mac), 7, request);

  bool answered[64] = {};
  const auto take_answers = [&] {
    CANMsg msg{};
    for (uint8_t mac = 0; mac < 64; ++mac) {
      while (buffer.GetMsg(msg, DuplicateCheckId(mac)) == 0) answered[mac] = true;
    }
  };
  // Answers are taken as they come, so the buffer never fills up.
  const uint32_t start = platform::GetTickCount();
  for (uint32_t elapsed = 0; elapsed < 1000; elapsed = platform::GetTickCount() - start) {
    if (buffer.WaitForData(1000 - elapsed) == 0) continue;
    take_answers();
    // Frames of other routes may stay in the port buffer: look again shortly.
    if (buffer.GetDataCount() > 0) platform::SleepMs(10);
  }
  // Only the scan's own routes go: the offline connection set keeps its.
  for (uint8_t mac = 0; mac < 64; ++mac)
    map.RemoveRoute(DuplicateCheckId(mac), kPortBufferId, kPortBufferId);
  map.ShowMapTable();
  take_answers();

  int count = 0;
  for (uint8_t mac = 0; mac < 64; ++mac) {
    if (answered[mac]) list[count++] = mac;
  }
  return count;
}

}  // namespace

extern "C" {

DNM_EXPORT uint16_t DNM_CALL DNM_AddDevice(uint8_t board, uint8_t port, uint8_t mac, uint8_t ucmm) {
  ExportCall call("AddDevice()   ", board);
  call.Port(port).Mac(mac).Active().LockPort(true).Online().NotInScanList(mac);
  if (call.Failed()) return call.Code();
  CANPort& target = call.port();
  if (mac == target.mac_id()) {
    Trace("AddDevice()   Error!MAC ID %d is the same with Master MAC ID", mac);
    return DNM_MACIDNumberError;
  }
  CreateNetDevice(target, mac, ucmm);
  Trace("AddDevice( )   Check!MAC ID %d , BoardNo %d , Port %d", mac, board, port);
  target.map().AddMap(Group2Id(mac, 3), mac, 0);
  if (ucmm != 0) {
    target.map().AddMap(Group3Id(5, mac), mac, 0);
    target.map().ShowMapTable();
  }
  return DNM_NoError;
}

DNM_EXPORT uint16_t DNM_CALL DNM_RemoveDevice(uint8_t board, uint8_t port, uint8_t mac) {
  ExportCall call("RemoveDevice()   ", board);
  call.Port(port).Mac(mac).Active().LockPort(true).Online().InScanList(mac);
  if (call.Failed()) return call.Code();
  if (call.port().IsStarted(mac)) {
    // Released while the port is on the bus, as a board's close does: its workers end before
    // they would see the stop. The turn is given back before the device goes.
    ReleasedSets released(call.port(), ReleasedSets::kTurnWaitMs, mac);
    released.Release();
    StopDevice(call.port(), mac);
  }
  RemoveDevice(call.port(), mac);
  return DNM_NoError;
}

DNM_EXPORT uint16_t DNM_CALL DNM_GetAllDeviceMACID(uint8_t board, uint8_t port, uint8_t* list,
                                                   uint8_t* count) {
  ExportCall call("AddDevice()   ", board);
  call.Port(port).Active();
  if (call.Failed()) {
    if (count != nullptr) *count = 0;
    return call.Code();
  }
  // No port lock across the second on the bus: the port buffer's turn keeps
  // two listings (or a listing and an offline-set request) apart.
  call.Online().NotNull(list, "list").NotNull(count, "count");
  if (call.Failed()) return call.Code();
  uint8_t found[64] = {};
  const int answered = CollectAnsweringMacIds(call.port(), found);
  std::memcpy(list, found, static_cast<size_t>(answered));
  *count = static_cast<uint8_t>(answered);
  return DNM_NoError;
}

}  // extern "C"
